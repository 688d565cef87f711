#include "TestBox.h"
#include "UpdateUtils.h"

using ShellCommandTest = BoxTest;

TEST_F(ShellCommandTest, OutputIsTakenAfterTheEndWhateverTheResult)
{
    QString output = "stale";
    EXPECT_FALSE(PerformCommand("echo first; printf problem >&2; exit 3", false, &output));
    EXPECT_EQ(output, "first\n");

    // UTF-8, cut at the first NUL byte.
    EXPECT_TRUE(PerformCommand("printf 'caf\\303\\251\\000tail'", false, &output));
    EXPECT_EQ(output, QString::fromUtf8("caf\xc3\xa9"));

    // Standard error never lands in the output, and alone it is no failure.
    EXPECT_TRUE(PerformCommand("echo noise >&2", false, &output));
    EXPECT_EQ(output, "");

    EXPECT_TRUE(PerformCommand("cat", false, nullptr)) << "a command reading its input ends";

    EXPECT_EQ(LogMessages(),
              QStringList({"Debug: Error running command:  \"echo first; printf problem >&2; exit "
                           "3\"   \"problem\" (bool PerformCommand(const QString&, const bool&, "
                           "QString*))"}));
}

TEST_F(ShellCommandTest, QuietHidesFailuresAndSignalsFail)
{
    EXPECT_FALSE(PerformCommand("echo lost >&2; exit 1", true, nullptr));
    EXPECT_EQ(LogMessages(), QStringList());

    EXPECT_FALSE(PerformCommand("kill -9 $$", false, nullptr));
    EXPECT_EQ(LogMessages(),
              QStringList({"Debug: Error running command:  \"kill -9 $$\"   \"\" (bool "
                           "PerformCommand(const QString&, const bool&, QString*))"}));
}

TEST_F(ShellCommandTest, SudoPrefixesOnlyTheFirstCommandOfTheLine)
{
    qunsetenv("SUDO_COMMAND");
    QString output;
    EXPECT_FALSE(
        PerformSudoCommand("printenv SUDO_COMMAND; printenv SUDO_COMMAND", false, &output));
    EXPECT_EQ(output, "/usr/bin/printenv SUDO_COMMAND\n");
    EXPECT_EQ(LogMessages(),
              QStringList({"Debug: Error running command: sudo  \"printenv SUDO_COMMAND; printenv "
                           "SUDO_COMMAND\"   \"\" (bool PerformSudoCommand(const QString&, const "
                           "bool&, QString*))"}));
}
