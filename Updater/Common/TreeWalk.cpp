#include "TreeWalk.h"

#include "FileDescriptor.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <utility>
#include <vector>

namespace
{
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct cLevel
{
    QByteArray name;
    QByteArray path;
    struct stat64 status;
    std::vector<QByteArray> names;
    size_t next;
};

bool IsSameEntry(const struct stat64& a, const struct stat64& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A directory its owner may not read is opened only after the owner has been given that right,
// by name; every other one is opened first and changed through its descriptor.
cFileDescriptor OpenDirectory(int parent, const QByteArray& name, const struct stat64& seen)
{
    struct stat64 now;
    if ((seen.st_mode & S_IRUSR) == 0 &&
        fstatat64(parent, name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(now.st_mode))
    {
        fchmodat(parent, name.constData(), (now.st_mode & 07777) | S_IRWXU, 0);
    }
    cFileDescriptor directory(openat(parent, name.constData(), DIRECTORY_FLAGS));
    struct stat64 opened;
    if (!directory.IsOpen() || fstat64(directory.Get(), &opened) != 0)
    {
        return cFileDescriptor();
    }
    if (!IsSameEntry(opened, seen))
    {
        errno = ESTALE;
        return cFileDescriptor();
    }
    if ((opened.st_mode & S_IRWXU) != S_IRWXU)
    {
        fchmod(directory.Get(), (opened.st_mode & 07777) | S_IRWXU);
    }
    return directory;
}

class cWalk
{
public:
    cWalk(int top, cTreeVisitor& visitor) : mTop(top), mVisitor(visitor) {}

    bool Run(const QByteArray& name)
    {
        struct stat64 status;
        if (fstatat64(mTop, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        {
            return mVisitor.Unreadable(name, errno);
        }
        if (!mVisitor.Enter({mTop, name, status, name}))
        {
            return false;
        }
        if (S_ISDIR(status.st_mode) && !Descend(mTop, name, name, status))
        {
            return false;
        }
        while (!mLevels.empty())
        {
            if (!Step())
            {
                return false;
            }
        }
        return true;
    }

private:
    // Visits the next entry of the deepest directory, or climbs out of it when it is done.
    bool Step()
    {
        cLevel& level = mLevels.back();
        if (level.next == level.names.size())
        {
            return Climb();
        }
        const QByteArray name = level.names[level.next++];
        const QByteArray path = level.path + '/' + name;
        struct stat64 status;
        if (fstatat64(mCurrent.Get(), name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        {
            return errno == ENOENT || mVisitor.Unreadable(path, errno);
        }
        if (!mVisitor.Enter({mCurrent.Get(), name, status, path}))
        {
            return false;
        }
        return !S_ISDIR(status.st_mode) || Descend(mCurrent.Get(), name, path, status);
    }

    bool Descend(int parent, const QByteArray& name, const QByteArray& path,
                 const struct stat64& status)
    {
        cFileDescriptor directory = OpenDirectory(parent, name, status);
        std::vector<QByteArray> names;
        if (!directory.IsOpen() || !ListNames(directory.Get(), &names))
        {
            return mVisitor.Unreadable(path, errno);
        }
        mLevels.push_back({name, path, status, std::move(names), 0});
        mCurrent = std::move(directory);
        return true;
    }

    bool Climb()
    {
        const cLevel done = std::move(mLevels.back());
        mLevels.pop_back();
        if (mLevels.empty())
        {
            mCurrent.Reset();
            return mVisitor.Leave({mTop, done.name, done.status, done.path});
        }
        cFileDescriptor parent(openat(mCurrent.Get(), "..", DIRECTORY_FLAGS));
        struct stat64 status;
        if (!parent.IsOpen() || fstat64(parent.Get(), &status) != 0 ||
            !IsSameEntry(status, mLevels.back().status))
        {
            // The tree was moved while it was walked: where the walk would go on is unknown.
            mVisitor.Unreadable(mLevels.back().path, parent.IsOpen() ? ESTALE : errno);
            return false;
        }
        mCurrent = std::move(parent);
        return mVisitor.Leave({mCurrent.Get(), done.name, done.status, done.path});
    }

    const int mTop;
    cTreeVisitor& mVisitor;
    std::vector<cLevel> mLevels;
    cFileDescriptor mCurrent; // the deepest directory of mLevels
};
} // namespace

bool ListNames(int directory, std::vector<QByteArray>* names)
{
    const int copy = dup(directory);
    DIR* stream = copy < 0 ? nullptr : fdopendir(copy);
    if (!stream)
    {
        if (copy >= 0)
        {
            close(copy);
        }
        return false;
    }
    errno = 0;
    while (const dirent64* entry = readdir64(stream))
    {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
        {
            names->push_back(name);
        }
        errno = 0;
    }
    const int error = errno;
    closedir(stream);
    errno = error;
    return error == 0;
}

bool WalkTree(int directory, const QByteArray& name, cTreeVisitor& visitor)
{
    return cWalk(directory, visitor).Run(name);
}
