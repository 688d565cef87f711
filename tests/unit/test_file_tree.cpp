#include "FileTree.h"
#include "LayOut.h"

#include <fcntl.h>

// Trees as an uploaded archive may leave them. The tests run as root, who may read any
// directory: what the walk does for a user who may not is shown by the end-to-end tests, which
// run the tool as nobody.

namespace
{
QString ModeOf(const char* path)
{
    struct stat status = {};
    lstat(Where(path).constData(), &status);
    return QString::number(status.st_mode & 07777, 8);
}

class FileTreeTest : public BoxTest
{
protected:
    void SetUp() override { Reset(); }

    // A fresh box with a file outside the home that no tree may reach.
    void Reset()
    {
        ResetBox();
        LayOut({{"/outside/kept", 'f', "outside\n"}});
        mHome.Reset(open(QFile::encodeName(HOME).constData(), O_RDONLY | O_DIRECTORY));
    }

    cFileDescriptor mHome;
};
} // namespace

TEST_F(FileTreeTest, RemovalTakesLinksThemselvesAndReadOnlyDirectoriesAtAnyDepth)
{
    const struct
    {
        const char* title;
        std::vector<cEntry> tree;
    } cases[] = {
        {"a link to a directory outside", {{"Firmware", 'l', QFile::encodeName(OUTSIDE)}}},
        {"a link to the home", {{"Firmware", 'l', "."}}},
        {"links inside",
         {{"Firmware", 'd'}, {"Firmware/out", 'l', "../../../outside"}, {"Firmware/f", 'p'}}},
        {"read-only directories",
         {{"Firmware", 'd', "", 0555}, {"Firmware/a", 'd', "", 0}, {"Firmware/b", 'd', "", 0111}}},
        {"a regular file", {{"Firmware", 'f', "x"}}},
        {"nothing", {}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.title);
        LayOut(c.tree);
        cTreeFault fault;
        EXPECT_TRUE(RemoveTree(mHome.Get(), "Firmware", &fault)) << fault.reason.toStdString();
        EXPECT_FALSE(QFileInfo::exists(HOME + "/Firmware") ||
                     QFileInfo(HOME + "/Firmware").isSymLink());
        EXPECT_EQ(ReadFile(OUTSIDE + "/kept"), "outside\n");
        EXPECT_EQ(QDir(HOME).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                  QStringList("PXMPersistentData"));
    }
}

// Deeper than a path can name, and deeper than a process may hold directories open.
TEST_F(FileTreeTest, RemovalClimbsOutOfATreeDeeperThanAnyPath)
{
    cFileDescriptor directory(dup(mHome.Get()));
    for (int depth = 0; depth < 2500; ++depth)
    {
        ASSERT_EQ(mkdirat(directory.Get(), "Firmware", 0555), 0);
        directory.Reset(openat(directory.Get(), "Firmware", O_RDONLY | O_DIRECTORY));
    }
    directory.Reset();
    cTreeFault fault;
    EXPECT_TRUE(RemoveTree(mHome.Get(), "Firmware", &fault)) << fault.reason.toStdString();
    EXPECT_FALSE(QFileInfo::exists(HOME + "/Firmware"));
}

TEST_F(FileTreeTest, AnUnpackedTreeHoldsOnlyItsOwnDirectoriesAndRegularFiles)
{
    const struct
    {
        const char* title;
        std::vector<cEntry> tree;
        QByteArray entry; // empty: the tree is accepted
        QString reason;
    } cases[] = {
        {"directories, files, hard links among them",
         {{"Firmware", 'd'},
          {"Firmware/lib", 'd'},
          {"Firmware/lib/a", 'f', "a"},
          {"Firmware/b", 'h', "/home/pxm/Firmware/lib/a"}},
         "",
         ""},
        {"no tree", {}, "Firmware", "is missing"},
        {"a link for a tree",
         {{"Firmware", 'l', "/outside"}},
         "Firmware",
         "is a symbolic link, not a directory"},
        {"a file for a tree",
         {{"Firmware", 'f'}},
         "Firmware",
         "is a regular file, not a directory"},
        {"a link inside",
         {{"Firmware", 'd'}, {"Firmware/Version.txt", 'l', "/outside/kept"}},
         "Firmware/Version.txt",
         "is a symbolic link"},
        {"a FIFO",
         {{"Firmware", 'd'}, {"Firmware/lib", 'd'}, {"Firmware/lib/f", 'p'}},
         "Firmware/lib/f",
         "is a FIFO"},
        {"a socket", {{"Firmware", 'd'}, {"Firmware/s", 's'}}, "Firmware/s", "is a socket"},
        {"a device node",
         {{"Firmware", 'd'}, {"Firmware/null", 'c'}},
         "Firmware/null",
         "is a device node"},
        {"a hard link to a file outside",
         {{"Firmware", 'd'}, {"Firmware/Version.txt", 'h', "/outside/kept"}},
         "Firmware/Version.txt",
         "is also linked from outside the tree"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.title);
        Reset();
        LayOut(c.tree);
        const cTreeFault fault = CheckUnpackedTree(mHome.Get(), "Firmware");
        EXPECT_EQ(fault.entry, c.entry);
        EXPECT_EQ(fault.reason, c.reason);
        EXPECT_EQ(ReadFile(OUTSIDE + "/kept"), "outside\n");
    }
}

TEST_F(FileTreeTest, AnAcceptedTreeLosesSetIdBitsAndItsOwnerMayChangeEveryDirectory)
{
    LayOut({{"Firmware", 'd', "", 02555},
            {"Firmware/daemon", 'f', "d", 04755},
            {"Firmware/tool", 'f', "t", 06711},
            {"Firmware/shut", 'd', "", 0},
            {"Firmware/plain", 'f', "p", 01644}});
    EXPECT_FALSE(CheckUnpackedTree(mHome.Get(), "Firmware").IsFault());
    EXPECT_EQ(ModeOf("Firmware"), "755");
    EXPECT_EQ(ModeOf("Firmware/daemon"), "755");
    EXPECT_EQ(ModeOf("Firmware/tool"), "711");
    EXPECT_EQ(ModeOf("Firmware/shut"), "700");
    EXPECT_EQ(ModeOf("Firmware/plain"), "1644");
}
