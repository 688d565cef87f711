#include "LayOut.h"
#include "UpdateUtils.h"

using FirstLineTest = BoxTest;

// Below the home no link is followed; what lies there is read by the end-to-end upload tests.
// The running version's file lies on the root file system, where a link is followed, but only to
// a regular file.
TEST_F(FirstLineTest, OnTheRootFileSystemALinkIsFollowedToARegularFileOnly)
{
    const struct
    {
        std::vector<cEntry> layout;
        QByteArray line;
    } cases[] = {
        {{{"/etc/real", 'f', "1.2.3\n"}, {"/etc/InitrdVersion.txt", 'l', "real"}}, "1.2.3\n"},
        {{{"/etc/InitrdVersion.txt", 'l', "/dev/zero"}}, ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.line.constData());
        ResetBox();
        LayOut(c.layout);
        EXPECT_EQ(ReadFirstLine(ROOTFS_RUNNING_UINITRD_VERSION_FILE), c.line);
    }
}
