#include "TestBox.h"

#include <QFileInfo>
#include <sys/stat.h>

namespace
{
const QString LOG = QString::fromLatin1(gUpdaterLogFile);
const QString OUTSIDE = BoxPath("/outside");

void Log(QtMsgType type, const char* message)
{
    const QMessageLogContext context("src/Thing.cpp", 42, "void Thing()", "default");
    customMessageHandler(type, context, QString::fromLatin1(message));
}
} // namespace

using EventLogTest = BoxTest;

// The debug lines every step writes are pinned by the end-to-end tests. Warnings come from Qt
// itself, and a fatal message must still end the program once its line is written; nothing of the
// tool writes info or critical lines.
TEST_F(EventLogTest, EachTypeHasItsLineFormat)
{
    Log(QtWarningMsg, "warning text");
    Log(static_cast<QtMsgType>(17), "never written");
    EXPECT_EQ(LogMessages(),
              QStringList({"Warning: warning text (src/Thing.cpp:42, void Thing())"}));
    EXPECT_DEATH(Log(QtFatalMsg, "the end"), "");
    EXPECT_EQ(LogMessages().last(), "Fatal: the end (src/Thing.cpp:42, void Thing())");
}

// When no regular file can be appended to at the log's name, the line goes to standard error and
// whatever lies there stays as it is: a link would have a root-run tool append to any file, a
// FIFO block the step. The next line tries the file again.
TEST_F(EventLogTest, WithoutARegularFileTheLineGoesToStandardError)
{
    const struct
    {
        const char* planted;
        bool (*plant)();
    } cases[] = {
        {"no log directory", [] { return QDir(QFileInfo(LOG).path()).removeRecursively(); }},
        {"a link to a file", [] { return QFile::link(OUTSIDE, LOG); }},
        {"a FIFO", [] { return mkfifo(QFile::encodeName(LOG).constData(), 0600) == 0; }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.planted);
        ResetBox();
        WriteFile(OUTSIDE, "outside\n");
        ASSERT_TRUE(c.plant());
        testing::internal::CaptureStderr();
        Log(QtDebugMsg, "not through it");
        const std::string captured = testing::internal::GetCapturedStderr();
        EXPECT_NE(captured.find("] Debug: not through it (void Thing())\n"), std::string::npos)
            << captured;
        EXPECT_EQ(ReadFile(OUTSIDE), "outside\n");

        ResetBox();
        Log(QtDebugMsg, "into the file");
        EXPECT_EQ(LogMessages(), QStringList({"Debug: into the file (void Thing())"}));
    }
}
