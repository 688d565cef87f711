#pragma once

// What the careful copy and unpack tests look at, and how they make a step fail between two
// others. Root ignores permission bits; an immutable entry, though, cannot be renamed.

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

// A file's content, or a tree's files as sorted "relative/path=content" items.
inline QString Tree(const QString& path)
{
    QStringList items;
    for (QDirIterator it(path, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
    {
        const QString entry = it.next();
        items << entry.mid(path.size() + 1) + '=' + QString::fromUtf8(ReadFile(entry));
    }
    items.sort();
    return QFileInfo(path).isFile() ? QString::fromUtf8(ReadFile(path)) : items.join(' ');
}

// The octal access mode, as stat's %a prints it.
inline QString Mode(const QString& path)
{
    struct stat status = {};
    ::stat(QFile::encodeName(path).constData(), &status);
    return QString::number(status.st_mode & 07777, 8);
}

// Runs `call` while the moment mv starts with `path` among its arguments (a child of sudo turning
// into mv still has sudo's), `path` becomes immutable. The kernel holds every start of mv until
// it is answered, so this is never too late. Returns whether it happened, nothing where fanotify
// holds no program start; clears the attribute afterwards.
inline std::optional<bool> ImmutableWhenMvStarts(const QString& path,
                                                 const std::function<void()>& call)
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

class cReplaceTest : public BoxTest
{
protected:
    const QString home = PXM_HOME;
    const QString source = home + "/source";
    const QString target = home + "/fw+1,a:b@c%d.e_f-g"; // every kind of character a path may hold
    const QString archive = home + "/fw.tar";

    void MakeTree(const QString& root, const QByteArray& content)
    {
        ASSERT_TRUE(QDir().mkpath(root + "/sub"));
        WriteFile(root + "/a", content);
        WriteFile(root + "/sub/b", "b");
    }
    // An archive of such a tree under `top`.
    void MakeArchive(const QByteArray& content, const QString& top)
    {
        MakeTree(BoxPath("/staging/") + top, content);
        ASSERT_EQ(QProcess::execute("tar", {"-cf", archive, "-C", BoxPath("/staging"), top}), 0);
        ASSERT_TRUE(QDir(BoxPath("/staging")).removeRecursively());
    }
    bool LeftoversGone() const
    {
        return !QFileInfo::exists(target + "_new") && !QFileInfo::exists(target + "_old");
    }
};
