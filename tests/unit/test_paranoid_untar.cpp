#include "ReplaceTestHelpers.h"
#include "UpdateUtils.h"

namespace
{
class ParanoidUntarTest : public BoxTest
{
protected:
    const QString home = BoxPath("/home/pxm");
    const QString target = home + "/fw";
    const QString archive = home + "/fw.tar";

    // An archive of fw/a holding `content` and fw/sub/b, under `topName` instead of fw if given.
    void MakeArchive(const QByteArray& content, const QString& topName = "fw")
    {
        const QString staging = BoxPath("/staging");
        ASSERT_TRUE(QDir().mkpath(staging + "/" + topName + "/sub"));
        WriteFile(staging + "/" + topName + "/a", content);
        WriteFile(staging + "/" + topName + "/sub/b", "b");
        ASSERT_EQ(QProcess::execute("tar", {"-cf", archive, "-C", staging, topName}), 0);
        ASSERT_TRUE(QDir(staging).removeRecursively());
    }
    void MakeOldTarget()
    {
        ASSERT_TRUE(QDir().mkpath(target));
        WriteFile(target + "/old", "old");
    }
    QString RunningLine(const QString& parent) const
    {
        return QString("Debug: Running command: \"tar -xvf %1 -C %2\" (bool "
                       "PerformParanoidSudoUntar(const QString&, const QString&))")
            .arg(archive, parent);
    }
};
} // namespace

TEST_F(ParanoidUntarTest, UnpackedTreeReplacesTargetAndTakesTheMode)
{
    MakeArchive("new");
    MakeOldTarget();
    ASSERT_TRUE(QDir().mkpath(target + "_old/stale"));
    ASSERT_TRUE(ParanoidSudoUntar(archive, target, "750"));
    EXPECT_EQ(Tree(target), "a=new sub/ sub/b=b");
    EXPECT_EQ(Mode(target + "/sub/b"), "750");
    EXPECT_FALSE(QFileInfo::exists(target + "_old"));
    EXPECT_EQ(LogMessages(), QStringList({RunningLine(home)}));
}

TEST_F(ParanoidUntarTest, RelativeTargetUnpacksIntoTheAbsoluteParent)
{
    MakeArchive("new");
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(home));
    const bool unpacked = ParanoidSudoUntar(archive, "fw", "700");
    QDir::setCurrent(previous);
    ASSERT_TRUE(unpacked);
    EXPECT_EQ(Tree(target), "a=new sub/ sub/b=b");
    EXPECT_EQ(Mode(target + "/a"), "700");
    EXPECT_EQ(LogMessages(), QStringList({RunningLine(home)}));
}

TEST_F(ParanoidUntarTest, FailedUnpackingPutsTheOldTreeBackWithItsMode)
{
    MakeOldTarget();
    ASSERT_TRUE(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ExeOwner | QFile::ReadOther |
                                                  QFile::ExeOther));
    WriteFile(archive, QByteArray(4096, 'x'));
    EXPECT_FALSE(ParanoidSudoUntar(archive, target, "700"));
    EXPECT_EQ(Tree(target), "old=old");
    EXPECT_EQ(Mode(target + "/old"), "705");

    // Members written before the archive breaks off are removed, not mixed with the old tree.
    MakeArchive(QByteArray(64 * 1024, 'n'));
    ASSERT_TRUE(QFile::resize(archive, 40 * 1024));
    EXPECT_FALSE(PerformParanoidSudoUntar(archive, target));
    EXPECT_EQ(Tree(target), "old=old");

    // A top entry of another name leaves no target behind.
    MakeArchive("new", "other");
    EXPECT_FALSE(PerformParanoidSudoUntar(archive, target));
    EXPECT_EQ(Tree(target), "old=old");
    EXPECT_EQ(LogMessages().last(),
              QString("Debug: Unpacking did not create \"%1\" (bool {anonymous}::Unpack(const "
                      "QString&, const QString&))")
                  .arg(target));
    EXPECT_FALSE(QFileInfo::exists(target + "_old"));
}

TEST_F(ParanoidUntarTest, SetAsideFailuresKeepWhatIsThere)
{
    cImmutableGuard guard;
    MakeArchive("new");
    MakeOldTarget();
    MAKE_IMMUTABLE(target + "/old");
    EXPECT_FALSE(PerformParanoidSudoUntar(archive, target));
    EXPECT_EQ(Tree(target), "a=new sub/ sub/b=b");
    EXPECT_EQ(Tree(target + "_old"), "old=old");

    MAKE_IMMUTABLE(target);
    EXPECT_FALSE(PerformParanoidSudoUntar(archive, target)) << "the set-aside leftover stays";
    ASSERT_TRUE(Chattr("-i", target + "_old/old"));
    EXPECT_FALSE(PerformParanoidSudoUntar(archive, target)) << "the target cannot be set aside";
    EXPECT_EQ(Tree(target), "a=new sub/ sub/b=b");
    EXPECT_EQ(LogMessages().filter("Running command:").size(), 3);
}
