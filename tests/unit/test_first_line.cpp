#include "LayOut.h"
#include "UpdateUtils.h"

using FirstLineTest = BoxTest;

TEST_F(FirstLineTest, OnlyOfARegularFileAndNoLinkBelowTheHome)
{
    const QByteArray longLine(10000, '7');
    const struct
    {
        const char* title;
        std::vector<cEntry> layout;
        const char* path; // read, as the tool names it
        QByteArray line;
    } cases[] = {
        {"a version",
         {{"Firmware/Version.txt", 'f', "2.1\r\nsecond\n"}},
         "/home/pxm/Firmware/Version.txt",
         "2.1\r\n"},
        {"a line without end, cut",
         {{"Firmware/Version.txt", 'f', longLine}},
         "/home/pxm/Firmware/Version.txt",
         longLine.left(4096)},
        {"a FIFO, never waited for",
         {{"Firmware/Version.txt", 'p'}},
         "/home/pxm/Firmware/Version.txt",
         ""},
        {"a directory", {{"Firmware/Version.txt", 'd'}}, "/home/pxm/Firmware/Version.txt", ""},
        {"a link to a file outside",
         {{"Firmware/Version.txt", 'l', "/outside/kept"}},
         "/home/pxm/Firmware/Version.txt",
         ""},
        {"a link on the way",
         {{"Real/Version.txt", 'f', "2.1\n"}, {"Firmware", 'l', "Real"}},
         "/home/pxm/Firmware/Version.txt",
         ""},
        {"a link on the root file system is followed",
         {{"/etc/real", 'f', "1.2.3\n"}, {"/etc/InitrdVersion.txt", 'l', "real"}},
         "/etc/InitrdVersion.txt",
         "1.2.3\n"},
        {"to a FIFO",
         {{"/etc/fifo", 'p'}, {"/etc/InitrdVersion.txt", 'l', "fifo"}},
         "/etc/InitrdVersion.txt",
         ""},
        {"to an endless device",
         {{"/etc/InitrdVersion.txt", 'l', "/dev/zero"}},
         "/etc/InitrdVersion.txt",
         ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.title);
        ResetBox();
        LayOut(c.layout);
        EXPECT_EQ(ReadFirstLine(BoxPath(c.path)), c.line);
    }
}
