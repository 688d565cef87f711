#include "ShellProcess.h"
#include "TestBox.h"
#include "UpdateUtils.h"

#include <QFile>
#include <cerrno>
#include <csignal>

using ShellCommandTest = BoxTest;

namespace
{
const QString FLOOD =
    "flood() { printf %4096s | tr ' ' h; printf %1000s | tr ' ' m; printf %4096s | tr ' ' t; }";
const QByteArray FLOODED =
    QByteArray(4096, 'h') + "\n[1000 bytes left out]\n" + QByteArray(4096, 't');
} // namespace

TEST_F(ShellCommandTest, OutputResultAndFailureLine)
{
    qunsetenv("SUDO_COMMAND");
    const struct
    {
        bool (*run)(const QString& command, const bool& quiet, QString* output);
        bool quiet;
        QString command;
        bool succeeds;
        QString output;
        QStringList logged;
    } cases[] = {
        {.run = PerformCommand,
         .quiet = false,
         .command = "echo first; printf problem >&2; exit 3",
         .succeeds = false,
         .output = "first\n",
         .logged = {"Debug: Error running command:  \"echo first; printf problem >&2; exit 3\"   "
                    "\"problem\" (bool PerformCommand(const QString&, const bool&, QString*))"}},
        // UTF-8 up to a NUL; standard error never lands in the output, and alone it is no
        // failure; a command reading its input gets an end of file.
        {.run = PerformCommand,
         .quiet = false,
         .command = "printf 'caf\\303\\251\\000tail'; echo noise >&2; cat",
         .succeeds = true,
         .output = "caf\u00e9",
         .logged = {}},
        {.run = PerformCommand,
         .quiet = true,
         .command = "echo lost >&2; exit 1",
         .succeeds = false,
         .output = "",
         .logged = {}},
        {.run = PerformCommand,
         .quiet = false,
         .command = "kill -9 $$",
         .succeeds = false,
         .output = "",
         .logged = {"Debug: Error running command:  \"kill -9 $$\"   \"\" (bool "
                    "PerformCommand(const QString&, const bool&, QString*))"}},
        // Of each stream only the first and the last 4 KiB are kept, around a count of the rest.
        {.run = PerformCommand,
         .quiet = false,
         .command = FLOOD + "; flood; flood >&2; exit 1",
         .succeeds = false,
         .output = QString::fromLatin1(FLOODED),
         .logged = {"Debug: Error running command:  \"" + FLOOD +
                    "; flood; flood >&2; exit 1\"   \"" + QString(FLOODED).replace("\n", "\\n") +
                    "\" (bool PerformCommand(const QString&, const bool&, QString*))"}},
        // sudo runs the first command of the line; the shell runs the rest.
        {.run = PerformSudoCommand,
         .quiet = false,
         .command = "printenv SUDO_COMMAND; printenv SUDO_COMMAND",
         .succeeds = false,
         .output = "/usr/bin/printenv SUDO_COMMAND\n",
         .logged = {"Debug: Error running command: sudo  \"printenv SUDO_COMMAND; printenv "
                    "SUDO_COMMAND\"   \"\" (bool PerformSudoCommand(const QString&, const bool&, "
                    "QString*))"}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(qPrintable(c.command));
        ResetBox();
        QString output = "stale";
        EXPECT_EQ(c.run(c.command, c.quiet, &output), c.succeeds);
        EXPECT_EQ(output, c.output);
        EXPECT_EQ(LogMessages(), c.logged);
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
// ended and reaped; nothing of it is left even as a zombie. (The end-to-end extraction tests
// stop a command that outlives its wait, and one that fails.)
TEST_F(ShellCommandTest, TheWholeGroupEndsEvenAfterTheShellEndedWell)
{
    cShellProcess shell;
    ASSERT_TRUE(shell.Start("sleep 100 & echo $!"));
    const cDeadline deadline(5000);
    QByteArray helper;
    ASSERT_TRUE(shell.ReadFirstLine(100, deadline, &helper));
    EXPECT_TRUE(shell.WaitForEnd(&deadline));
    shell.EndAndReap();
    EXPECT_TRUE(shell.EndedWell());
    EXPECT_TRUE(IsGone(helper)) << helper.constData();
}

// The end-to-end upload tests read whole lines, cut ones and lines without an end, from a tar
// that ends by itself or never delivers; here the command goes on after what it printed.
TEST_F(ShellCommandTest, FirstLineOfTheOutputDoesNotWaitForTheEnd)
{
    const struct
    {
        QString line;
        QByteArray firstLine;
        bool inTime;
    } cases[] = {
        {.line = "printf '2.1\\nsecond\\n'; exec sleep 100", .firstLine = "2.1\n", .inTime = true},
        {.line = "head -c 10000 /dev/zero | tr '\\000' 7; exec sleep 100",
         .firstLine = QByteArray(4096, '7'),
         .inTime = true},
        // What came by the deadline is not a whole line.
        {.line = "printf 'half a line'; exec sleep 100", .firstLine = "", .inTime = false},
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
