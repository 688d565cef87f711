#include "ShellProcess.h"
#include "TestBox.h"
#include "UpdateUtils.h"

#include <QFile>
#include <cerrno>
#include <csignal>

using ShellCommandTest = BoxTest;

TEST_F(ShellCommandTest, OutputResultAndFailureLine)
{
    qunsetenv("SUDO_COMMAND");
    const struct
    {
        bool sudo, quiet;
        QString command, output, error; // error: null for success, else what the line names
    } cases[] = {
        {false, false, "echo first; printf problem >&2; exit 3", "first\n", "problem"},
        {false, false, "printf 'caf\\303\\251\\000tail'", "caf\u00e9", {}}, // UTF-8 up to a NUL
        // Standard error never lands in the output, and alone it is no failure.
        {false, false, "echo noise >&2", "", {}},
        {false, false, "cat", "", {}}, // a command reading its input gets an end of file
        {false, true, "echo lost >&2; exit 1", "", "lost\n"},
        {false, false, "kill -9 $$", "", ""},
        {true, false, "printenv SUDO_COMMAND; printenv SUDO_COMMAND",
         "/usr/bin/printenv SUDO_COMMAND\n", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(qPrintable(c.command));
        QString output = "stale";
        EXPECT_EQ((c.sudo ? PerformSudoCommand : PerformCommand)(c.command, c.quiet, &output),
                  c.error.isNull());
        EXPECT_EQ(output, c.output);
        const QString line =
            QString("Debug: Error running command: %1 \"%2\"   \"%3\" (bool "
                    "Perform%4Command(const QString&, const bool&, QString*))")
                .arg(c.sudo ? "sudo " : "", c.command, c.error, c.sudo ? "Sudo" : "");
        EXPECT_EQ(LogMessages(), c.error.isNull() || c.quiet ? QStringList() : QStringList(line));
        QFile::remove(QString::fromLatin1(gUpdaterLogFile));
    }
}

namespace
{
bool IsGone(const QByteArray& pid)
{
    return kill(pid.trimmed().toInt(), 0) != 0 && errno == ESRCH;
}
} // namespace

// Whatever the command leaves running in its group, in the background or past the wait, is
// ended and reaped; nothing of it is left even as a zombie.
TEST_F(ShellCommandTest, TheWholeGroupEndsWithinTheWait)
{
    const struct
    {
        QString line; // prints the process id of a helper first
        int waitMs;
        bool endsInTime;
        bool endedWell;
    } cases[] = {
        {"sleep 100 & echo $!", 5000, true, true},
        {"sleep 100 & echo $!; exit 4", 5000, true, false},
        {"sleep 100 & echo $!; wait", 300, false, false},
        {"echo $$; exec sleep 100", 300, false, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(qPrintable(c.line));
        cShellProcess shell;
        ASSERT_TRUE(shell.Start(c.line));
        const cDeadline deadline(c.waitMs);
        QByteArray helper;
        ASSERT_TRUE(shell.ReadFirstLine(100, deadline, &helper));
        EXPECT_EQ(shell.WaitForEnd(&deadline), c.endsInTime);
        shell.EndAndReap();
        EXPECT_EQ(shell.EndedWell(), c.endedWell);
        EXPECT_TRUE(IsGone(helper)) << helper.constData();
    }
}

TEST_F(ShellCommandTest, FirstLineOfTheOutputIsCutAndBoundByTheWait)
{
    const struct
    {
        QString line;
        QByteArray firstLine;
        bool inTime;
    } cases[] = {
        {"printf '2.1\\nsecond\\n'; exec sleep 100", "2.1\n", true},
        {"head -c 10000 /dev/zero | tr '\\000' 7; exec sleep 100", QByteArray(4096, '7'), true},
        {"printf 'no line end'", "no line end", true},
        {"true", "", true},
        {"printf 'half a line'; exec sleep 100", "", false},
        {"exec sleep 100", "", false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(qPrintable(c.line));
        cShellProcess shell;
        ASSERT_TRUE(shell.Start(c.line));
        QByteArray line = "stale";
        EXPECT_EQ(shell.ReadFirstLine(4096, cDeadline(500), &line), c.inTime);
        EXPECT_EQ(line, c.firstLine);
    }
}
