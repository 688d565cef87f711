#include "TestBox.h"
#include "UpdateUtils.h"

#include <QDebug>
#include <QDir>

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

TEST_F(EventLogTest, FatalMessageIsWrittenThenAborts)
{
    EXPECT_DEATH(Log(QtFatalMsg, "the end"), "");
    EXPECT_EQ(LogMessages(), QStringList({"Fatal: the end (src/Thing.cpp:42, void Thing())"}));
}
