#include "TestBox.h"

#include <QFileInfo>

using FirstLineTest = BoxTest;

// Below the home no link is followed; what lies there is read by the end-to-end upload tests.
// The running version's file lies on the root file system, where a link is followed, but only to
// a regular file.
TEST_F(FirstLineTest, OnTheRootFileSystemALinkIsFollowedToARegularFileOnly)
{
    const QString file = ROOTFS_RUNNING_UINITRD_VERSION_FILE;
    WriteFile(QFileInfo(file).path() + "/real", "1.2.3\n");
    for (const auto& [target, line] : {std::pair("real", "1.2.3\n"), {"/dev/zero", ""}})
    {
        SCOPED_TRACE(target);
        QFile::remove(file);
        ASSERT_TRUE(QFile::link(target, file));
        EXPECT_EQ(ReadFirstLine(file), line);
    }
}
