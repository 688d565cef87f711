#include "TestBox.h"
#include "UpdateUtils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <sys/stat.h>

namespace
{
void Log(QtMsgType type, const char* message, const char* file = "src/Thing.cpp", int line = 42,
         const char* function = "void Thing()")
{
    const QMessageLogContext context(file, line, function, "default");
    customMessageHandler(type, context, QString::fromLatin1(message));
}
} // namespace

using EventLogTest = BoxTest;

// The debug lines every step writes are pinned by the end-to-end tests; these types only the
// shared code's callers use.
TEST_F(EventLogTest, EachTypeHasItsLineFormat)
{
    Log(QtInfoMsg, "info text");
    Log(QtWarningMsg, "warning text");
    Log(QtCriticalMsg, "critical text");
    Log(static_cast<QtMsgType>(17), "never written");
    Log(QtWarningMsg, "from Qt", nullptr, 0, nullptr);

    EXPECT_EQ(LogMessages(), QStringList({
                                 "Info: info text (void Thing())",
                                 "Warning: warning text (src/Thing.cpp:42, void Thing())",
                                 "Critical: critical text (src/Thing.cpp:42, void Thing())",
                                 "Warning: from Qt ((null):0, (null))",
                             }));
}

TEST_F(EventLogTest, FatalMessageIsWrittenThenAborts)
{
    EXPECT_DEATH(Log(QtFatalMsg, "the end"), "");
    EXPECT_EQ(LogMessages(), QStringList({"Fatal: the end (src/Thing.cpp:42, void Thing())"}));
}

// When no regular file can be appended to at the log's name, the line goes to standard error and
// whatever lies there stays as it is: a link would have a root-run tool append to any file, a
// FIFO block the step. The next line tries the file again.
TEST_F(EventLogTest, WithoutARegularFileTheLineGoesToStandardError)
{
    const QString log = QString::fromLatin1(gUpdaterLogFile);
    const QString outside = BoxPath("/outside");
    const struct
    {
        const char* planted;
        void (*plant)(const QString& log, const QString& outside);
    } cases[] = {
        {.planted = "no log directory",
         .plant = [](const QString& log, const QString&)
         { ASSERT_TRUE(QDir(QFileInfo(log).path()).removeRecursively()); }},
        {.planted = "a link to a file",
         .plant = [](const QString& log, const QString& outside)
         { ASSERT_TRUE(QFile::link(outside, log)); }},
        {.planted = "a FIFO",
         .plant = [](const QString& log, const QString&)
         { ASSERT_EQ(mkfifo(QFile::encodeName(log).constData(), 0600), 0); }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.planted);
        ResetBox();
        WriteFile(outside, "outside\n");
        c.plant(log, outside);
        testing::internal::CaptureStderr();
        Log(QtDebugMsg, "not through it");
        const std::string captured = testing::internal::GetCapturedStderr();
        EXPECT_NE(captured.find("] Debug: not through it (void Thing())\n"), std::string::npos)
            << captured;
        EXPECT_EQ(ReadFile(outside), "outside\n");

        ResetBox();
        Log(QtDebugMsg, "into the file");
        EXPECT_EQ(LogMessages(), QStringList({"Debug: into the file (void Thing())"}));
    }
}
