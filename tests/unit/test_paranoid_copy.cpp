#include "ReplaceTestHelpers.h"
#include "UpdateUtils.h"

#include <functional>

namespace
{
class ParanoidCopyTest : public BoxTest
{
protected:
    const QString home = BoxPath("/home/pxm");
    const QString source = home + "/source";
    const QString target = home + "/fw+1,a:b@c%d.e_f-g"; // every kind of character a path may hold

    void MakeTree(const QString& root, const QByteArray& content)
    {
        ASSERT_TRUE(QDir().mkpath(root + "/sub"));
        WriteFile(root + "/a", content);
        WriteFile(root + "/sub/b", "b");
    }
    bool LeftoversGone() const
    {
        return !QFileInfo::exists(target + "_new") && !QFileInfo::exists(target + "_old");
    }
    static QString SudoFailure(const QString& command, const QString& error)
    {
        return "Debug: Error running command: sudo  \"" + command + "\"   \"" + error +
               ": Operation not permitted\\n\" (bool PerformSudoCommand(const QString&, const "
               "bool&, QString*))";
    }
};
} // namespace

TEST_F(ParanoidCopyTest, InProcessFormClearsLeftoversAndSetsPermissions)
{
    WriteFile(source, "new\n");
    WriteFile(target, "old");
    WriteFile(target + "_new", "stale staging");
    WriteFile(target + "_old", "stale set-aside");
    ASSERT_TRUE(ParanoidCopy(source, target, QFile::ReadOwner | QFile::ReadGroup));
    EXPECT_EQ(ReadFile(target), "new\n");
    EXPECT_EQ(Mode(target), "440");
    EXPECT_TRUE(LeftoversGone());

    EXPECT_FALSE(ParanoidCopy(home + "/missing", target, QFile::ReadOwner));
    EXPECT_EQ(ReadFile(target), "new\n");
    EXPECT_EQ(Mode(target), "440") << "the previous mode, not what this process may do";
}

TEST_F(ParanoidCopyTest, SetAsideContentWithoutTargetComesBackEvenWhenTheCopyFails)
{
    for (const bool sudo : {false, true})
    {
        WriteFile(target + "_old", "last good");
        ASSERT_TRUE(QFile::setPermissions(target + "_old", QFile::ReadOwner | QFile::ReadGroup));
        EXPECT_FALSE(sudo ? ParanoidSudoCopy(home + "/missing", target, "600")
                          : ParanoidCopy(home + "/missing", target, QFile::ReadOwner));
        EXPECT_EQ(ReadFile(target), "last good") << sudo;
        EXPECT_EQ(Mode(target), "440") << sudo;
        EXPECT_TRUE(LeftoversGone()) << sudo;
        ASSERT_TRUE(QFile::remove(target));
    }
}

TEST_F(ParanoidCopyTest, SudoFormReplacesTreesWithoutNestingInLeftovers)
{
    MakeTree(source, "new");
    MakeTree(target, "old");
    MakeTree(target + "_new", "stale staging");
    MakeTree(target + "_old", "stale set-aside");
    ASSERT_TRUE(ParanoidSudoCopy(source, target, "750"));
    EXPECT_EQ(Tree(target), "a=new sub/ sub/b=b");
    EXPECT_EQ(Mode(target + "/sub/b"), "750");
    EXPECT_TRUE(LeftoversGone());

    const QString fresh = home + "/fresh";
    ASSERT_TRUE(ParanoidSudoCopy(source, fresh, "u=rwx,go="));
    EXPECT_EQ(Tree(fresh), "a=new sub/ sub/b=b");
    EXPECT_EQ(Mode(fresh + "/a"), "700");
    EXPECT_EQ(QDir(home).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name),
              QStringList({"PXMPersistentData", "fresh", "fw+1,a:b@c%d.e_f-g", "source"}));
    EXPECT_EQ(LogMessages(), QStringList());
}

TEST_F(ParanoidCopyTest, TargetThatCannotBeSetAsideStaysAndGetsItsModeBack)
{
    cImmutableGuard guard;
    WriteFile(source, "new");
    WriteFile(target, "old");
    ASSERT_TRUE(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ReadGroup | QFile::ReadOther));
    MAKE_IMMUTABLE(target);
    EXPECT_FALSE(ParanoidSudoCopy(source, target, "600"));
    EXPECT_EQ(ReadFile(target), "old");
    EXPECT_EQ(ReadFile(target + "_new"), "new");
    const QString moveAside = "mv " + target + " " + target + "_old";
    const QString restoreMode = "chmod -R 644 " + target;
    EXPECT_EQ(LogMessages(),
              QStringList(
                  {SudoFailure(moveAside, QString("mv: cannot move '%1' to '%1_old'").arg(target)),
                   SudoFailure(restoreMode, "chmod: changing permissions of '" + target + "'")}));
}

TEST_F(ParanoidCopyTest, FailedMoveIntoPlaceBringsThePreviousContentBack)
{
    cImmutableGuard guard;
    WriteFile(source, "new");
    WriteFile(target, "old");
    const cImmutableBeforeMove interference(target + "_new");
    if (!interference.Armed())
    {
        GTEST_SKIP() << "no fanotify permission events on this machine";
    }
    EXPECT_FALSE(PerformParanoidSudoCopy(source, target));
    ASSERT_TRUE(interference.Fired());
    EXPECT_EQ(ReadFile(target), "old");
    EXPECT_EQ(ReadFile(target + "_new"), "new");
    EXPECT_FALSE(QFileInfo::exists(target + "_old"));
    EXPECT_EQ(LogMessages(),
              QStringList({SudoFailure("mv " + target + "_new " + target,
                                       QString("mv: cannot move '%1_new' to '%1'").arg(target))}));
}

TEST_F(ParanoidCopyTest, LateFailuresLeaveTheNewContentInPlace)
{
    cImmutableGuard guard;
    MakeTree(source, "new");
    MakeTree(target, "old");
    ASSERT_TRUE(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ExeOwner | QFile::ReadOther |
                                                  QFile::ExeOther));
    MAKE_IMMUTABLE(target + "/sub/b");
    EXPECT_FALSE(ParanoidSudoCopy(source, target, "700")) << "the set-aside tree stays";
    EXPECT_EQ(Tree(target), "a=new sub/ sub/b=b");
    EXPECT_EQ(Tree(target + "_old"), "sub/ sub/b=b");
    EXPECT_EQ(Mode(target + "/a"), "705") << "the saved mode is given back";

    WriteFile(home + "/file", "file");
    EXPECT_FALSE(ParanoidSudoCopy(home + "/file", home + "/other", "rwx")) << "an invalid mode";
    EXPECT_EQ(ReadFile(home + "/other"), "file");
}

TEST_F(ParanoidCopyTest, UnsafePathsAreRefusedBeforeAnyCommand)
{
    const QString marker = home + "/MARKER";
    const QString safe = home + "/safe";
    WriteFile(source, "new");
    for (const QString& unsafe : {home + "/t;touch " + marker, home + "/t\n", QString("-rf"),
                                  home + "/$(touch${IFS}" + marker + ")", home + "/*", QString()})
    {
        const std::function<bool()> calls[] = {
            [&] { return PerformParanoidSudoCopy(source, unsafe); },
            [&] { return ParanoidSudoCopy(unsafe, safe, "644"); },
            [&] { return PerformParanoidSudoUntar(unsafe, safe); },
            [&] { return ParanoidSudoUntar(source, unsafe, "644"); }};
        for (const auto& call : calls)
        {
            EXPECT_FALSE(call());
            EXPECT_EQ(LogMessages(), QStringList({"Debug: Refusing unsafe path: \"" +
                                                  QString(unsafe).replace('\n', "\\n") +
                                                  "\" (bool AreShellSafe(const QStringList&))"}));
            QFile::remove(QString::fromLatin1(gUpdaterLogFile));
        }
    }
    EXPECT_FALSE(ParanoidSudoCopy(source, safe, "644;touch " + marker));
    EXPECT_TRUE(LogMessages().value(0).startsWith("Debug: Refusing unsafe mode: \""));
    EXPECT_FALSE(QFileInfo::exists(marker));
    EXPECT_FALSE(QFileInfo::exists(safe));
}
