#pragma once

// What the careful copy and unpack tests look at, and how they make a step fail. Root ignores
// permission bits, so steps fail through the immutable attribute: an immutable entry can be
// neither renamed nor removed, nor have its mode changed.

#include "TestBox.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <atomic>
#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// A file's content, or a tree as sorted "relative/path=content" and "relative/dir/" items.
inline QString Tree(const QString& path)
{
    if (!QFileInfo(path).isDir())
    {
        return QString::fromUtf8(ReadFile(path));
    }
    QStringList items;
    QDirIterator entries(path, QDir::AllEntries | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext())
    {
        const QString entry = entries.next();
        const QString name = entry.mid(path.size() + 1);
        items << (QFileInfo(entry).isDir() ? name + '/'
                                           : name + '=' + QString::fromUtf8(ReadFile(entry)));
    }
    items.sort();
    return items.join(' ');
}

// The octal access mode, as stat's %a prints it.
inline QString Mode(const QString& path)
{
    struct stat status = {};
    ::stat(QFile::encodeName(path).constData(), &status);
    return QString::number(status.st_mode & 07777, 8);
}

inline bool Chattr(const QString& change, const QString& path)
{
    return QProcess::execute("chattr", {change, path}) == 0;
}

#define MAKE_IMMUTABLE(path)                                                                       \
    if (!Chattr("+i", path))                                                                       \
    GTEST_SKIP() << "the file system under the box has no immutable attribute"

// Clears the attribute wherever a rotation has moved the entries, so the next test can reset
// the box.
struct cImmutableGuard
{
    ~cImmutableGuard() { QProcess::execute("chattr", {"-R", "-i", BoxPath("/")}); }
};

// Another process at work between two steps: the moment mv starts to move `path` away, `path`
// becomes immutable. The kernel holds every start of mv until it is answered, so the
// interference is never too late.
class cImmutableBeforeMove
{
public:
    explicit cImmutableBeforeMove(const QString& path)
        : mFanotify(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY)),
          mArmed(mFanotify >= 0 && fanotify_mark(mFanotify, FAN_MARK_ADD, FAN_OPEN_EXEC_PERM,
                                                 AT_FDCWD, "/usr/bin/mv") == 0),
          mWatcher([this, path] { Watch(path); })
    {
    }
    ~cImmutableBeforeMove()
    {
        mStop = true;
        mWatcher.join();
        ::close(mFanotify); // lets through whatever is still held
    }
    const bool& Armed() const { return mArmed; }
    bool Fired() const { return mFired; }

private:
    void Watch(const QString& path)
    {
        alignas(fanotify_event_metadata) char buffer[4096];
        while (mArmed && !mStop)
        {
            pollfd ready = {mFanotify, POLLIN, 0};
            ssize_t left = poll(&ready, 1, 50) == 1 ? ::read(mFanotify, buffer, sizeof buffer) : 0;
            auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
            for (; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left))
            {
                // The sudo child turning into mv still has sudo's arguments.
                QFile arguments(QString("/proc/%1/cmdline").arg(event->pid));
                if (arguments.open(QIODevice::ReadOnly) &&
                    arguments.readAll().contains(QByteArray("mv\0", 3) + QFile::encodeName(path) +
                                                 '\0'))
                {
                    mFired = Chattr("+i", path);
                }
                const fanotify_response allow = {event->fd, FAN_ALLOW};
                (void)!::write(mFanotify, &allow, sizeof allow);
                ::close(event->fd);
            }
        }
    }

    const int mFanotify;
    const bool mArmed;
    std::atomic<bool> mStop{false};
    std::atomic<bool> mFired{false};
    std::thread mWatcher;
};
