#include "FileDescriptor.h"
#include "FileTree.h"
#include "LayOut.h"

#include <fcntl.h>

using FileTreeTest = BoxTest;

// What tar can put into an archive (links, FIFOs, device nodes, set-id bits) is unpacked, checked
// and removed by the end-to-end extraction tests; here what tar cannot bring.
TEST_F(FileTreeTest, AnUnpackedTreeHoldsOnlyItsOwnDirectoriesAndRegularFiles)
{
    const struct
    {
        std::vector<cEntry> tree;
        QByteArray entry;
        QString reason;
    } cases[] = {
        {{}, "Firmware", "is missing"},
        // tar refuses to make a link to a name outside what it unpacks.
        {{{"/outside", 'f'}, {"Firmware/Version.txt", 'h', "/outside"}},
         "Firmware/Version.txt",
         "is also linked from outside the tree"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.entry.constData());
        ResetBox();
        LayOut(c.tree);
        const cFileDescriptor home(
            open(QFile::encodeName(PXM_HOME).constData(), O_RDONLY | O_DIRECTORY));
        const cTreeFault fault = CheckUnpackedTree(home.Get(), "Firmware");
        EXPECT_EQ(fault.entry, c.entry);
        EXPECT_EQ(fault.reason, c.reason);
    }
}
