// The careful copy and unpack, which no step calls: their refusals, what they leave after a
// failure and what an interrupted call left. Root ignores permission bits; an immutable entry,
// though, cannot be renamed, which is how a step is made to fail between two others.

#include "FileDescriptor.h"
#include "TestBox.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <atomic>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <thread>

namespace
{
// A tree's files as sorted "relative/path=content" items.
QString Tree(const QString& path)
{
    QStringList items;
    for (QDirIterator it(path, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
    {
        const QString entry = it.next();
        items << entry.mid(path.size() + 1) + '=' + QString::fromUtf8(ReadFile(entry));
    }
    items.sort();
    return items.join(' ');
}

// The octal access mode, as stat's %a prints it.
QString Mode(const QString& path)
{
    struct stat status = {};
    ::stat(QFile::encodeName(path).constData(), &status);
    return QString::number(status.st_mode & 07777, 8);
}

// Runs `call`, making `path` immutable when mv starts with it among its arguments (the kernel holds
// each start of mv until answered). Returns whether it happened, nothing where fanotify holds no
// program start; clears the attribute afterwards.
std::optional<bool> ImmutableWhenMvStarts(const QString& path, const std::function<void()>& call)
{
    cFileDescriptor events(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY));
    if (fanotify_mark(events.Get(), FAN_MARK_ADD, FAN_OPEN_EXEC_PERM, AT_FDCWD, "/usr/bin/mv") != 0)
    {
        return std::nullopt;
    }
    std::atomic<bool> done{false};
    bool fired = false;
    std::thread watcher(
        [&]
        {
            alignas(fanotify_event_metadata) char buffer[4096];
            while (!done)
            {
                pollfd ready = {events.Get(), POLLIN, 0};
                ssize_t left =
                    poll(&ready, 1, 50) == 1 ? read(events.Get(), buffer, sizeof buffer) : 0;
                auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
                for (; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left))
                {
                    const cFileDescriptor program(event->fd); // closed once answered
                    const QByteArray arguments =
                        ReadFile(QString("/proc/%1/cmdline").arg(event->pid));
                    fired = fired || (arguments.contains('\0' + QFile::encodeName(path) + '\0') &&
                                      QProcess::execute("chattr", {"+i", path}) == 0);
                    const fanotify_response allow = {event->fd, FAN_ALLOW};
                    (void)!write(events.Get(), &allow, sizeof allow);
                }
            }
        });
    call();
    done = true;
    watcher.join();
    events.Reset(); // lets through whatever is still held
    QProcess::execute("chattr", {"-i", path});
    return fired;
}
} // namespace

class cReplaceTest : public BoxTest
{
protected:
    const QString home = PXM_HOME;
    const QString source = home + "/source";
    const QString target = home + "/fw+1,a:b@c%d.e_f-g"; // every kind of character a path may hold
    const QString archive = home + "/fw.tar";
};

using ParanoidCopyTest = cReplaceTest;

// An interrupted call leaves content beside the target: it must not block the copy and rename,
// and set aside without a target it is the last good content and comes back first. A failed copy
// keeps the previous content and mode, and does not turn what root may do into owner bits (640).
// The sudo form shares the rotation; the unpack shows its restore of the mode.
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
        EXPECT_FALSE(QFileInfo::exists(target + "_new") || QFileInfo::exists(target + "_old"));
    }
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
    ASSERT_TRUE(QDir().mkpath(target));
    EXPECT_FALSE(PerformParanoidCopy(source, target));
    EXPECT_EQ(ReadFile(target), "new");
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

using ParanoidUntarTest = cReplaceTest;

// The target, given relative, is unpacked into its absolute parent in place of the previous tree
// (not over it), past a set-aside leftover that would block setting it aside. When unpacking fails
// or brings no target, the previous tree comes back with nothing of the new one mixed in, and the
// mode the target had is given to all of it.
TEST_F(ParanoidUntarTest, ReplacesTheTargetOrPutsThePreviousTreeBack)
{
    const QString name = QFileInfo(target).fileName();
    const struct
    {
        QString top; // the archive's top directory
        QByteArray content;
        int cutTo; // the archive's bytes kept, cut after a member; 0: all of them
        bool unpacked;
    } cases[] = {
        {name, "new", 0, true},
        {name, QByteArray(64 * 1024, 'n'), 40 * 1024, false},
        {"other", "new", 0, false},
    };
    const QString workingDirectory = QDir::currentPath();
    for (const auto& c : cases)
    {
        SCOPED_TRACE(&c - cases);
        ResetBox();
        const QString staging = BoxPath("/staging");
        ASSERT_TRUE(QDir().mkpath(staging + '/' + c.top + "/sub"));
        WriteFile(staging + '/' + c.top + "/a", c.content);
        WriteFile(staging + '/' + c.top + "/sub/b", "b");
        ASSERT_EQ(QProcess::execute("tar", {"-cf", archive, "-C", staging, c.top}), 0);
        if (c.cutTo)
        {
            ASSERT_TRUE(QFile::resize(archive, c.cutTo));
        }
        WriteFile(target + "_old", "leftover");
        EXPECT_TRUE(QDir().mkpath(target));
        WriteFile(target + "/old", "old");
        ASSERT_EQ(chmod(QFile::encodeName(target).constData(), 0705), 0);
        QDir::setCurrent(home);
        EXPECT_EQ(ParanoidSudoUntar(archive, name, "700"), c.unpacked);
        EXPECT_EQ(Tree(target), c.unpacked ? "a=new sub/b=b" : "old=old");
        EXPECT_EQ(Mode(target + (c.unpacked ? "/sub/b" : "/old")), c.unpacked ? "700" : "705");
        EXPECT_FALSE(QFileInfo::exists(target + "_old"));
        EXPECT_EQ(LogMessages().value(0),
                  QString("Debug: Running command: \"tar -xvf %1 -C %2\" (bool "
                          "PerformParanoidSudoUntar(const QString&, const QString&))")
                      .arg(archive, home));
    }
    QDir::setCurrent(workingDirectory);
}
