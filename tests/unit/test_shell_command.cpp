#include "TestBox.h"
#include "UpdateUtils.h"

#include <QFile>

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
