#include "ReplaceTestHelpers.h"
#include "UpdateUtils.h"

using ParanoidCopyTest = cReplaceTest;

// An interrupted call leaves content beside the target. It must neither block the local form's
// copy and rename nor have the sudo form's cp and mv put the new tree inside it; set aside without
// a target, it is the last good content and comes back first. A failed copy keeps the previous
// content and mode; the local form must not turn what root may do into owner bits (640).
TEST_F(ParanoidCopyTest, RotatesPastLeftoversAndKeepsThePreviousContentOnFailure)
{
    struct cForm
    {
        std::function<void(const QString& path, const QByteArray& content)> lay;
        std::function<bool(const QString& from)> copy;
    };
    const cForm local = {
        WriteFile,
        [this](const QString& from)
        { return ParanoidCopy(from, target, QFile::ReadOwner | QFile::WriteOwner); },
    };
    const cForm sudo = {
        [this](const QString& path, const QByteArray& content) { MakeTree(path, content); },
        [this](const QString& from) { return ParanoidSudoCopy(from, target, "600"); },
    };
    struct cOutcome
    {
        bool copied;
        QString content; // of the target, as Tree() shows it
        QString modeOf;  // the target, or a file below it
        QString mode;
    };
    const cOutcome newFile = {true, "new", "", "600"};
    const cOutcome oldFile = {false, "old", "", "440"};
    const cOutcome newTree = {true, "a=new sub/b=b", "/sub/b", "600"};
    const cOutcome oldTree = {false, "a=old sub/b=b", "/sub/b", "440"};
    const QString missing = home + "/missing";
    const struct
    {
        const cForm* form;
        QString from;
        QString previous; // where the previous content lies, read-only
        cOutcome after;
    } cases[] = {
        {&local, source, target, newFile},           {&local, missing, target, oldFile},
        {&local, missing, target + "_old", oldFile}, {&sudo, source, target, newTree},
        {&sudo, missing, target, oldTree},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(&c - cases);
        ResetBox();
        c.form->lay(source, "new");
        for (const QString& path : {c.previous, target + "_new", target + "_old"})
        {
            c.form->lay(path, "old");
        }
        ASSERT_EQ(QProcess::execute("chmod", {"-R", "440", c.previous}), 0);
        EXPECT_EQ(c.form->copy(c.from), c.after.copied);
        EXPECT_EQ(Tree(target), c.after.content);
        EXPECT_EQ(Mode(target + c.after.modeOf), c.after.mode);
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

// The previous content that stays set aside would be taken for the last good one by the next
// call: the copy is in place, but the call failed. (QFile::remove takes no directory.)
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
