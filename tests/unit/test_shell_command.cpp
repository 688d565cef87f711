#include "ShellProcess.h"
#include "TestBox.h"

#include <QElapsedTimer>
#include <cerrno>
#include <csignal>
#include <vector>

using ShellCommandTest = BoxTest;

// What a failed command hands back and what it logs. No step calls these two; the steps run their
// commands through cShellProcess.
TEST_F(ShellCommandTest, OutputAndLineOfAFailure)
{
    qunsetenv("SUDO_COMMAND");
    const struct
    {
        bool sudo; // PerformSudoCommand, else PerformCommand
        bool quiet;
        QString command;
        QString output;
        const char* loggedErrors; // nullptr: no line
    } cases[] = {
        // The output is still handed over, and standard error logged.
        {false, false, "echo first; printf problem >&2; exit 3", "first\n", "problem"},
        {false, true, "echo lost >&2; exit 1", "", nullptr},
        // Ended by a signal: its exit code reads 0.
        {false, false, "kill -9 $$", "", ""},
        // sudo runs the first command of the line; the shell runs the rest.
        {true, false, "printenv SUDO_COMMAND; printenv SUDO_COMMAND",
         "/usr/bin/printenv SUDO_COMMAND\n", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(qPrintable(c.command));
        ResetBox();
        QString output = "stale";
        EXPECT_FALSE((c.sudo ? PerformSudoCommand : PerformCommand)(c.command, c.quiet, &output));
        EXPECT_EQ(output, c.output);
        const QString line =
            QString("Debug: Error running command: %1 \"%2\"   \"%3\" (bool "
                    "Perform%4Command(const QString&, const bool&, QString*))")
                .arg(c.sudo ? "sudo " : "", c.command, c.loggedErrors, c.sudo ? "Sudo" : "");
        EXPECT_EQ(LogMessages(), c.loggedErrors ? QStringList(line) : QStringList());
    }
}

// Each stream keeps its first and last 4 KiB around a count of the bytes between them, however
// the pipe hands them over.
TEST(ShellOutput, KeepsBothEndsAndCountsWhatItLeftOut)
{
    const QByteArray head(4096, 'h'), middle(1000, 'm'), tail(4000, 't');
    const QByteArray kept = head + "\n[904 bytes left out]\n" + QByteArray(96, 'm') + tail;
    const std::vector<QByteArray> cases[] = {{head + middle + tail}, {head, middle, tail}};
    for (const auto& helpings : cases)
    {
        SCOPED_TRACE(helpings.size());
        cBoundedOutput output;
        for (const QByteArray& helping : helpings)
        {
            output.Append(helping.constData(), helping.size());
        }
        EXPECT_EQ(output.Take(), kept);
    }
}

// Whatever the command leaves running in its group, in the background or past its wait, is
// ended and reaped at once; nothing of it is left even as a zombie.
TEST_F(ShellCommandTest, TheWholeGroupEnds)
{
    const struct
    {
        QString line; // prints the process id of a helper it leaves in the background
        int waitMs;
        bool endsInTime;
    } cases[] = {
        {"sleep 5 & echo $!", 5000, true},
        {"sleep 5 & echo $!; exec sleep 5", 200, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(qPrintable(c.line));
        cShellProcess shell;
        ASSERT_TRUE(shell.Start(c.line));
        QByteArray helper;
        ASSERT_TRUE(shell.ReadFirstLine(100, cDeadline(5000), &helper));
        const cDeadline deadline(c.waitMs);
        EXPECT_EQ(shell.WaitForEnd(&deadline), c.endsInTime);
        QElapsedTimer timer;
        timer.start();
        shell.EndAndReap();
        EXPECT_LT(timer.elapsed(), 2000);
        EXPECT_EQ(shell.EndedWell(), c.endsInTime);
        EXPECT_TRUE(kill(helper.toInt(), 0) != 0 && errno == ESRCH) << helper.constData();
    }
}

// The first line is handed over as soon as it is whole, or as its cap is reached, while the
// command goes on.
TEST_F(ShellCommandTest, FirstLineOfTheOutputDoesNotWaitForTheEnd)
{
    const struct
    {
        QString line;
        QByteArray firstLine; // empty when the wait ends first
    } cases[] = {
        {"printf '2.1\\nsecond\\n'; exec sleep 5", "2.1\n"},
        {"head -c 10000 /dev/zero | tr '\\000' 7; exec sleep 5", QByteArray(4096, '7')},
        // What came by the deadline is not a whole line.
        {"printf 'half a line'; exec sleep 5", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(qPrintable(c.line));
        const bool inTime = !c.firstLine.isEmpty();
        cShellProcess shell;
        ASSERT_TRUE(shell.Start(c.line));
        QByteArray line = "stale";
        // Far more time for a line than it needs; a short wait for one that never comes.
        EXPECT_EQ(shell.ReadFirstLine(4096, cDeadline(inTime ? 5000 : 300), &line), inTime);
        EXPECT_EQ(line, c.firstLine);
    }
}
