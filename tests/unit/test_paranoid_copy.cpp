#include "ReplaceTestHelpers.h"
#include "UpdateUtils.h"

using ParanoidCopyTest = cReplaceTest;

// An interrupted call leaves content beside the target. It must neither block the local form's
// copy and rename nor have the sudo form's cp and mv put the new tree inside it; set aside without
// a target, it is the last good content and comes back first. A failed copy keeps the previous
// content and mode; the local form must not turn what root may do into owner bits (640).
TEST_F(ParanoidCopyTest, RotatesPastLeftoversAndKeepsThePreviousContentOnFailure)
{
    for (const bool sudo : {false, true})
        for (const QString& from : {source, home + "/missing"})
            for (const QString& previous : {target, target + "_old"})
            {
                SCOPED_TRACE(qPrintable(
                    QString("sudo %1 from %2 previous %3").arg(sudo).arg(from, previous)));
                ResetBox();
                for (const QString& path : {source, previous, target + "_new", target + "_old"})
                {
                    const QByteArray content = path == source ? "new" : "old";
                    sudo ? MakeTree(path, content) : WriteFile(path, content);
                }
                ASSERT_EQ(QProcess::execute("chmod", {"-R", "440", previous}), 0);
                EXPECT_EQ(sudo ? ParanoidSudoCopy(from, target, "600")
                               : ParanoidCopy(from, target, QFile::ReadOwner | QFile::WriteOwner),
                          from == source);
                const QString content = from == source ? "new" : "old";
                EXPECT_EQ(Tree(target), sudo ? "a=" + content + " sub/b=b" : content);
                EXPECT_EQ(Mode(sudo ? target + "/sub/b" : target), from == source ? "600" : "440");
                EXPECT_TRUE(LeftoversGone());
            }

    // Without a target: a plain copy, nothing built or set aside beside it. A mode chmod refuses
    // leaves the copy, but is a failure.
    ResetBox();
    MakeTree(source, "new");
    EXPECT_FALSE(ParanoidSudoCopy(source, target, "rwx"));
    EXPECT_EQ(Tree(target), "a=new sub/b=b");
    EXPECT_TRUE(LeftoversGone());
}

// The previous content goes back when the new content cannot take its name.
TEST_F(ParanoidCopyTest, FailedMoveIntoPlaceBringsThePreviousContentBack)
{
    WriteFile(source, "new");
    WriteFile(target, "old");
    bool copied = true;
    const std::optional<bool> fired = ImmutableWhenMvStarts(
        target + "_new", [&] { copied = PerformParanoidSudoCopy(source, target); });
    if (!fired)
    {
        GTEST_SKIP() << "no fanotify permission events on this machine";
    }
    ASSERT_TRUE(*fired) << "the new content was not moved into place";
    EXPECT_FALSE(copied);
    EXPECT_EQ(ReadFile(target), "old");
    EXPECT_EQ(ReadFile(target + "_new"), "new");
    EXPECT_FALSE(QFileInfo::exists(target + "_old"));
    EXPECT_EQ(LogMessages(),
              QStringList(QString("Debug: Error running command: sudo  \"mv %1_new %1\"   \"mv: "
                                  "cannot move '%1_new' to '%1': Operation not permitted\\n\" "
                                  "(bool PerformSudoCommand(const QString&, const bool&, "
                                  "QString*))")
                              .arg(target)));
}

// No command runs with a path the shell or an option parser could read as more than one word;
// an existing target would otherwise have its mode read first.
TEST_F(ParanoidCopyTest, UnsafePathsAndModesAreRefusedBeforeAnyCommand)
{
    const QString marker = home + "/MARKER";
    const QString injection = home + "/t;touch " + marker;
    ASSERT_TRUE(QDir().mkpath(injection));
    WriteFile(source, "new");
    for (const QString& unsafe : {injection, home + "/t\n", QString("-rf"),
                                  home + "/$(touch${IFS}" + marker + ")", home + "/*", QString()})
    {
        const std::function<bool()> calls[] = {
            [&] { return ParanoidSudoCopy(source, unsafe, "644"); },
            [&] { return PerformParanoidSudoCopy(unsafe, target); },
            [&] { return ParanoidSudoUntar(source, unsafe, "644"); },
            [&] { return PerformParanoidSudoUntar(unsafe, target); }};
        for (const auto& call : calls)
        {
            EXPECT_FALSE(call());
            EXPECT_EQ(LogMessages(), QStringList("Debug: Refusing unsafe path: \"" +
                                                 QString(unsafe).replace('\n', "\\n") +
                                                 "\" (bool AreShellSafe(const QStringList&))"));
            QFile::remove(QString::fromLatin1(gUpdaterLogFile));
        }
    }
    EXPECT_FALSE(ParanoidSudoCopy(source, target, "644;touch " + marker));
    EXPECT_EQ(LogMessages(), QStringList("Debug: Refusing unsafe mode: \"644;touch " + marker +
                                         "\" (bool {anonymous}::IsShellSafeMode(const QString&))"));
    EXPECT_FALSE(QFileInfo::exists(marker));
    EXPECT_FALSE(QFileInfo::exists(target));
}
