#include "TestBox.h"
#include "UpdateUtils.h"

#include <QDebug>
#include <QDir>
#include <QFile>
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

TEST_F(EventLogTest, EachTypeHasItsLineFormat)
{
    Log(QtDebugMsg, "debug text");
    Log(QtInfoMsg, "info text");
    Log(QtWarningMsg, "warning text");
    Log(QtCriticalMsg, "critical text");
    Log(static_cast<QtMsgType>(17), "never written");
    Log(QtWarningMsg, "from Qt", nullptr, 0, nullptr);

    EXPECT_EQ(LogMessages(), QStringList({
                                 "Debug: debug text (void Thing())",
                                 "Info: info text (void Thing())",
                                 "Warning: warning text (src/Thing.cpp:42, void Thing())",
                                 "Critical: critical text (src/Thing.cpp:42, void Thing())",
                                 "Warning: from Qt ((null):0, (null))",
                             }));
}

TEST_F(EventLogTest, LinesAreAppendedAndNewlinesSplitAnEntry)
{
    WriteFile(QString::fromLatin1(gUpdaterLogFile), "earlier run\n");
    qDebug() << "two\nlines";
    const QStringList messages = LogMessages();
    ASSERT_EQ(messages.size(), 3);
    EXPECT_EQ(messages[0], "earlier run");
    EXPECT_TRUE(messages[1].startsWith("Debug: two"));
    EXPECT_EQ(messages[2],
              "lines (virtual void "
              "EventLogTest_LinesAreAppendedAndNewlinesSplitAnEntry_Test::TestBody())");
}

TEST_F(EventLogTest, MissingLogDirectoryFallsBackToStandardError)
{
    ASSERT_TRUE(QDir(BoxPath("/home/pxm/PXMPersistentData")).removeRecursively());
    testing::internal::CaptureStderr();
    Log(QtDebugMsg, "to stderr");
    const std::string captured = testing::internal::GetCapturedStderr();
    EXPECT_NE(captured.find("] Debug: to stderr (void Thing())\n"), std::string::npos) << captured;
    EXPECT_EQ(captured.front(), '[');

    // The next message tries the file again.
    ASSERT_TRUE(QDir().mkpath(BoxPath("/home/pxm/PXMPersistentData/DovozUdiZedezod/EventLogs")));
    Log(QtDebugMsg, "back in the file");
    EXPECT_EQ(LogMessages(), QStringList({"Debug: back in the file (void Thing())"}));
}

// What lies at the log's name instead of a regular file is left as it is, and the line goes to
// standard error: a link would have a root-run tool append to any file, a FIFO block the step.
TEST_F(EventLogTest, OnlyARegularFileIsAppendedTo)
{
    const QString log = QString::fromLatin1(gUpdaterLogFile);
    const QString outside = BoxPath("/outside");
    const struct
    {
        const char* planted;
        void (*plant)(const QString& log, const QString& outside);
    } cases[] = {
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
    }
}

TEST_F(EventLogTest, FatalMessageIsWrittenThenAborts)
{
    EXPECT_DEATH(Log(QtFatalMsg, "the end"), "");
    EXPECT_EQ(LogMessages(), QStringList({"Fatal: the end (src/Thing.cpp:42, void Thing())"}));
}
