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
    const auto ofTheTarget = [&] { MakeArchive("new", name); };
    const auto cutAfterAMember = [&]
    {
        MakeArchive(QByteArray(64 * 1024, 'n'), name);
        ASSERT_TRUE(QFile::resize(archive, 40 * 1024));
    };
    const auto ofAnotherName = [&] { MakeArchive("new", "other"); };
    struct cOutcome
    {
        bool unpacked;
        QString content; // of the target, as Tree() shows it
        QString modeOf;  // below the target
        QString mode;
    };
    const cOutcome newTree = {true, "a=new sub/b=b", "/sub/b", "700"};
    const cOutcome previousTree = {false, "old=old", "/old", "705"};
    const struct
    {
        bool previous; // a previous tree, with a set-aside leftover beside it
        std::function<void()> makeArchive;
        cOutcome after;
    } cases[] = {
        {false, ofTheTarget, newTree},
        {true, ofTheTarget, newTree},
        {true, cutAfterAMember, previousTree},
        {true, ofAnotherName, previousTree},
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
            ASSERT_EQ(chmod(QFile::encodeName(target).constData(), 0705), 0);
        }
        QDir::setCurrent(home);
        EXPECT_EQ(ParanoidSudoUntar(archive, name, "700"), c.after.unpacked);
        EXPECT_EQ(Tree(target), c.after.content);
        EXPECT_EQ(Mode(target + c.after.modeOf), c.after.mode);
        EXPECT_FALSE(QFileInfo::exists(target + "_old"));
        EXPECT_EQ(LogMessages().value(0),
                  QString("Debug: Running command: \"tar -xvf %1 -C %2\" (bool "
                          "PerformParanoidSudoUntar(const QString&, const QString&))")
                      .arg(archive, home));
    }
    QDir::setCurrent(workingDirectory);
}
