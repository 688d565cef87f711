#include "FileDescriptor.h"
#include "FileTree.h"
#include "TestBox.h"

#include <fcntl.h>
#include <unistd.h>

using FileTreeTest = BoxTest;

// What tar can put into an archive (links, FIFOs, device nodes, set-id bits) is unpacked, checked
// and removed by the end-to-end extraction tests; here what tar cannot bring.
TEST_F(FileTreeTest, AnUnpackedTreeHoldsOnlyItsOwnDirectoriesAndRegularFiles)
{
    const auto fault = []
    {
        const cFileDescriptor home(
            open(QFile::encodeName(PXM_HOME).constData(), O_RDONLY | O_DIRECTORY));
        const cTreeFault found = CheckUnpackedTree(home.Get(), "Firmware");
        return QString::fromLatin1(found.entry) + ' ' + found.reason;
    };
    EXPECT_EQ(fault(), "Firmware is missing");
    // tar refuses to make a link to a name outside what it unpacks.
    WriteFile(BoxPath("/outside"), "");
    ASSERT_TRUE(QDir().mkpath(PXM_HOME + "/Firmware"));
    ASSERT_EQ(link(QFile::encodeName(BoxPath("/outside")).constData(),
                   QFile::encodeName(PXM_HOME + "/Firmware/Version.txt").constData()),
              0);
    EXPECT_EQ(fault(), "Firmware/Version.txt is also linked from outside the tree");
}
