#include "ReplaceTestHelpers.h"
#include "UpdateUtils.h"

using ParanoidCopyTest = cReplaceTest;

// An interrupted call leaves content beside the target: it must not block the copy and rename,
// and set aside without a target it is the last good content and comes back first. A failed copy
// keeps the previous content and mode, and does not turn what root may do into owner bits (640).
// The sudo form shares the rotation and the leftovers; its own restore of the mode is the
// unpack's.
TEST_F(ParanoidCopyTest, RotatesPastLeftoversAndKeepsThePreviousContentOnFailure)
{
    const QString missing = home + "/missing";
    const struct
    {
        QString from;
        QString previous; // where the previous content lies, read-only
        bool copied;
        QByteArray content;
        QString mode;
    } cases[] = {
        {source, target, true, "new", "600"},
        {missing, target, false, "old", "440"},
        {missing, target + "_old", false, "old", "440"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(qPrintable(c.from + " over " + c.previous));
        ResetBox();
        WriteFile(source, "new");
        for (const QString& path : {c.previous, target + "_new", target + "_old"})
        {
            WriteFile(path, "old");
        }
        ASSERT_EQ(chmod(QFile::encodeName(c.previous).constData(), 0440), 0);
        EXPECT_EQ(ParanoidCopy(c.from, target, QFile::ReadOwner | QFile::WriteOwner), c.copied);
        EXPECT_EQ(ReadFile(target), c.content);
        EXPECT_EQ(Mode(target), c.mode);
        EXPECT_TRUE(LeftoversGone());
    }
}

// Without a target: a plain copy, nothing built or set aside beside it. A mode chmod refuses
// leaves the copy, but is a failure.
TEST_F(ParanoidCopyTest, WithoutATargetItIsAPlainCopy)
{
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
}

// A set-aside content that cannot be deleted fails the call, although the copy is in place: it
// is no clean replacement. (QFile::remove takes no directory.)
TEST_F(ParanoidCopyTest, ASetAsideContentThatCannotBeDeletedIsAFailure)
{
    WriteFile(source, "new");
    MakeTree(target, "old");
    EXPECT_FALSE(PerformParanoidCopy(source, target));
    EXPECT_EQ(Tree(target), "new");
}

// No command runs with a path the shell or an option parser could read as more than one word;
// an existing target would otherwise have its mode read first.
TEST_F(ParanoidCopyTest, UnsafePathsAndModesAreRefusedBeforeAnyCommand)
{
    const QString marker = home + "/MARKER";
    const QString injection = home + "/t;touch " + marker;
    const QString expansion = home + "/$(touch${IFS}" + marker + ")";
    ASSERT_TRUE(QDir().mkpath(injection));
    WriteFile(source, "new");
    const QString paths[] = {
        injection,     // a second command
        home + "/t\n", // a second line
        "-rf",         // an option
        expansion,     // a command's output
        home + "/*",   // every name that matches
        "",            // no word at all
    };
    for (const QString& path : paths)
    {
        const QString logged = QString(path).replace("\n", "\\n"); // as the log quotes it
        SCOPED_TRACE(qPrintable(logged));
        const std::function<bool()> calls[] = {
            [&] { return ParanoidSudoCopy(source, path, "644"); },
            [&] { return PerformParanoidSudoCopy(path, target); },
            [&] { return ParanoidSudoUntar(source, path, "644"); },
            [&] { return PerformParanoidSudoUntar(path, target); }};
        for (const auto& call : calls)
        {
            QFile::remove(QString::fromLatin1(gUpdaterLogFile));
            EXPECT_FALSE(call());
            EXPECT_EQ(LogMessages(), QStringList("Debug: Refusing unsafe path: \"" + logged +
                                                 "\" (bool AreShellSafe(const QStringList&))"));
        }
    }
    QFile::remove(QString::fromLatin1(gUpdaterLogFile));
    EXPECT_FALSE(ParanoidSudoCopy(source, target, "644;touch " + marker));
    EXPECT_EQ(LogMessages(), QStringList("Debug: Refusing unsafe mode: \"644;touch " + marker +
                                         "\" (bool {anonymous}::IsShellSafeMode(const QString&))"));
    EXPECT_FALSE(QFileInfo::exists(marker));
    EXPECT_FALSE(QFileInfo::exists(target));
}
