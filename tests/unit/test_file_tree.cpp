#include "FileTree.h"
#include "LayOut.h"

#include <fcntl.h>

// Trees as an uploaded archive may leave them. What tar can put into an archive (links, FIFOs,
// device nodes, set-id bits, read-only directories) is unpacked, checked and removed by the
// end-to-end extraction tests, and so is a tree deeper than any path; here what tar cannot
// bring.

namespace
{
cFileDescriptor OpenHome()
{
    return cFileDescriptor(open(QFile::encodeName(PXM_HOME).constData(), O_RDONLY | O_DIRECTORY));
}
} // namespace

using FileTreeTest = BoxTest;

TEST_F(FileTreeTest, AnUnpackedTreeHoldsOnlyItsOwnDirectoriesAndRegularFiles)
{
    const struct
    {
        const char* title;
        std::vector<cEntry> tree;
        QByteArray entry;
        QString reason;
    } cases[] = {
        {.title = "no tree", .tree = {}, .entry = "Firmware", .reason = "is missing"},
        // Met after a directory the walk has gone into and left.
        {.title = "a socket",
         .tree = {{"Firmware", 'd'},
                  {"Firmware/lib", 'd'},
                  {"Firmware/lib/a.so", 'f', "code"},
                  {"Firmware/s", 's'}},
         .entry = "Firmware/s",
         .reason = "is a socket"},
        // tar refuses to make a link to a name outside what it unpacks.
        {.title = "a hard link to a file outside",
         .tree = {{"/outside/kept", 'f', "outside\n"},
                  {"Firmware", 'd'},
                  {"Firmware/Version.txt", 'h', "/outside/kept"}},
         .entry = "Firmware/Version.txt",
         .reason = "is also linked from outside the tree"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.title);
        ResetBox();
        LayOut(c.tree);
        const cTreeFault fault = CheckUnpackedTree(OpenHome().Get(), "Firmware");
        EXPECT_EQ(fault.entry, c.entry);
        EXPECT_EQ(fault.reason, c.reason);
    }
}
