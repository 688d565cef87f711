#include "ReplaceTestHelpers.h"
#include "UpdateUtils.h"

using ParanoidCopyTest = cReplaceTest;

// An interrupted call leaves content beside the target. It must neither block the local form's
// copy and rename nor have the sudo form's cp and mv put the new tree inside it; set aside without
// a target, it is the last good content and comes back first. A failed copy keeps the previous
// content and mode; the local form must not turn what root may do into owner bits (640).
TEST_F(ParanoidCopyTest, RotatesPastLeftoversAndKeepsThePreviousContentOnFailure)
{
    const QString missing = home + "/missing";
    struct cForm
    {
        const char* name;
        std::function<void(const QString& path, const QByteArray& content)> lay;
        std::function<bool(const QString& from)> copy;
    };
    const cForm local = {
        .name = "local form, a file",
        .lay = WriteFile,
        .copy = [this](const QString& from)
        { return ParanoidCopy(from, target, QFile::ReadOwner | QFile::WriteOwner); },
    };
    const cForm sudo = {
        .name = "sudo form, a tree",
        .lay = [this](const QString& path, const QByteArray& content) { MakeTree(path, content); },
        .copy = [this](const QString& from) { return ParanoidSudoCopy(from, target, "600"); },
    };
    struct cOutcome
    {
        bool copied;
        QString content; // of the target, as Tree() shows it
        QString modeOf;  // the target, or a file below it
        QString mode;
    };
    const cOutcome newFile = {.copied = true, .content = "new", .modeOf = "", .mode = "600"};
    const cOutcome oldFile = {.copied = false, .content = "old", .modeOf = "", .mode = "440"};
    const cOutcome newTree = {
        .copied = true, .content = "a=new sub/b=b", .modeOf = "/sub/b", .mode = "600"};
    const cOutcome oldTree = {
        .copied = false, .content = "a=old sub/b=b", .modeOf = "/sub/b", .mode = "440"};
    const struct
    {
        const cForm* form;
        QString from;
        QString previous; // where the previous content lies, read-only
        cOutcome after;
    } cases[] = {
        {.form = &local, .from = source, .previous = target, .after = newFile},
        {.form = &local, .from = source, .previous = target + "_old", .after = newFile},
        {.form = &local, .from = missing, .previous = target, .after = oldFile},
        {.form = &local, .from = missing, .previous = target + "_old", .after = oldFile},
        {.form = &sudo, .from = source, .previous = target, .after = newTree},
        {.form = &sudo, .from = source, .previous = target + "_old", .after = newTree},
        {.form = &sudo, .from = missing, .previous = target, .after = oldTree},
        {.form = &sudo, .from = missing, .previous = target + "_old", .after = oldTree},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(qPrintable(
            QString("%1 from %2, previous at %3").arg(c.form->name, c.from, c.previous)));
        ResetBox();
        c.form->lay(source, "new");
        for (const QString& path : {c.previous, target + "_new", target + "_old"})
        {
            c.form->lay(path, "old");
        }
        ASSERT_EQ(QProcess::execute("chmod", {"-R", "440", c.previous}), 0);
        const bool copied = c.form->copy(c.from);
        EXPECT_EQ(copied, c.after.copied);
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
    const QString expansion = home + "/$(touch${IFS}" + marker + ")";
    ASSERT_TRUE(QDir().mkpath(injection));
    WriteFile(source, "new");
    const struct
    {
        QString path;
        QString logged; // as the log quotes it
    } cases[] = {
        {.path = injection, .logged = injection},
        {.path = home + "/t\n", .logged = home + "/t\\n"},
        {.path = "-rf", .logged = "-rf"},
        {.path = expansion, .logged = expansion},
        {.path = home + "/*", .logged = home + "/*"},
        {.path = "", .logged = ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(qPrintable(c.logged));
        const std::function<bool()> calls[] = {
            [&] { return ParanoidSudoCopy(source, c.path, "644"); },
            [&] { return PerformParanoidSudoCopy(c.path, target); },
            [&] { return ParanoidSudoUntar(source, c.path, "644"); },
            [&] { return PerformParanoidSudoUntar(c.path, target); }};
        for (const auto& call : calls)
        {
            QFile::remove(QString::fromLatin1(gUpdaterLogFile));
            EXPECT_FALSE(call());
            EXPECT_EQ(LogMessages(), QStringList("Debug: Refusing unsafe path: \"" + c.logged +
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
