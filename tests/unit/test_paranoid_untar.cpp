#include "ReplaceTestHelpers.h"
#include "UpdateUtils.h"

using ParanoidUntarTest = cReplaceTest;

// The target, given relative, is unpacked into its absolute parent: at once when it is not
// there, else in place of the previous tree (not over it) past a set-aside leftover that would
// block setting it aside. When unpacking fails or brings no target, the previous tree comes back
// with nothing of the new one mixed in, and the mode the target had is given to all of it.
TEST_F(ParanoidUntarTest, ReplacesTheTargetOrPutsThePreviousTreeBack)
{
    const QString name = QFileInfo(target).fileName();
    const struct
    {
        bool previous, unpacks;
        std::function<void()> makeArchive;
    } cases[] = {
        {false, true, [&] { MakeArchive("new", name); }},
        {true, true, [&] { MakeArchive("new", name); }},
        {true, false, [&] { WriteFile(archive, QByteArray(4096, 'x')); }},
        {true, false,
         [&] { // breaks off after members were written
             MakeArchive(QByteArray(64 * 1024, 'n'), name);
             ASSERT_TRUE(QFile::resize(archive, 40 * 1024));
         }},
        {true, false, [&] { MakeArchive("new", "other"); }},
    };
    const QString workingDirectory = QDir::currentPath();
    for (const auto& c : cases)
    {
        SCOPED_TRACE(&c - cases);
        ResetBox();
        c.makeArchive();
        if (c.previous)
        {
            WriteFile(target + "_old", "leftover");
            EXPECT_TRUE(QDir().mkpath(target));
            WriteFile(target + "/old", "old");
            EXPECT_TRUE(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner |
                                                          QFile::ExeOwner | QFile::ReadOther |
                                                          QFile::ExeOther));
        }
        QDir::setCurrent(home);
        EXPECT_EQ(ParanoidSudoUntar(archive, name, "700"), c.unpacks);
        EXPECT_EQ(Tree(target), c.unpacks ? "a=new sub/b=b" : "old=old");
        EXPECT_EQ(Mode(target + (c.unpacks ? "/sub/b" : "/old")), c.unpacks ? "700" : "705");
        EXPECT_FALSE(QFileInfo::exists(target + "_old"));
        EXPECT_EQ(LogMessages().value(0),
                  QString("Debug: Running command: \"tar -xvf %1 -C %2\" (bool "
                          "PerformParanoidSudoUntar(const QString&, const QString&))")
                      .arg(archive, home));
    }
    QDir::setCurrent(workingDirectory);
}
