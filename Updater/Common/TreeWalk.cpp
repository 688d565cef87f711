#include "TreeWalk.h"

#include "FileDescriptor.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <utility>
#include <vector>

namespace
{
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The identity of a directory, for the walk to know it again when it climbs back into it.
struct cIdentity
{
    dev_t device;
    ino_t inode;

    explicit cIdentity(const struct stat64& status) : device(status.st_dev), inode(status.st_ino) {}
    bool operator!=(const cIdentity& other) const
    {
        return device != other.device || inode != other.inode;
    }
};

// A directory the walk is in, from the top down to the deepest; kept small, as a tree may be
// deeper than any path can name.
struct cLevel
{
    cIdentity identity;
    std::vector<QByteArray> names; // what it holds, read in full before the walk went into it
    size_t next;                   // the one of names to visit next
};

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
    if (cIdentity(opened) != cIdentity(seen))
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

// One path, of the entry at hand, grows by a name when the walk goes into a directory and shrinks
// by it when the walk leaves: a deep tree costs memory in proportion to its depth.
class cWalk
{
public:
    cWalk(int top, cTreeVisitor& visitor) : mTop(top), mVisitor(visitor) {}

    bool Run(const QByteArray& name)
    {
        mTopName = name;
        mPath = name;
        if (!Visit(mTop, name))
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
        const size_t depth = mLevels.size();
        mPath.append('/').append(name);
        const bool goOn = Visit(mCurrent.Get(), name);
        if (mLevels.size() == depth) // not gone into it
        {
            mPath.chop(name.size() + 1);
        }
        return goOn;
    }

    // Looks at the entry name of the open directory parent, whose path mPath is, and goes into
    // it when it is a directory.
    bool Visit(int parent, const QByteArray& name)
    {
        struct stat64 status;
        if (fstatat64(parent, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        {
            // An entry gone since its directory was read is no fault; a top that is not there is.
            return (errno == ENOENT && !mLevels.empty()) || mVisitor.Unreadable(mPath, errno);
        }
        if (!mVisitor.Enter({parent, name, status, mPath}))
        {
            return false;
        }
        return !S_ISDIR(status.st_mode) || Descend(parent, name, status);
    }

    bool Descend(int parent, const QByteArray& name, const struct stat64& status)
    {
        cFileDescriptor directory = OpenDirectory(parent, name, status);
        std::vector<QByteArray> names;
        if (!directory.IsOpen() || !ListNames(directory.Get(), &names))
        {
            return mVisitor.Unreadable(mPath, errno);
        }
        mLevels.push_back({cIdentity(status), std::move(names), 0});
        mCurrent = std::move(directory);
        return true;
    }

    bool Climb()
    {
        mLevels.pop_back();
        if (mLevels.empty())
        {
            mCurrent.Reset();
            return mVisitor.Leave(mTop, mTopName, mPath);
        }
        const cLevel& above = mLevels.back();
        const QByteArray name = above.names[above.next - 1];
        cFileDescriptor parent(openat(mCurrent.Get(), "..", DIRECTORY_FLAGS));
        struct stat64 parentStatus;
        if (!parent.IsOpen() || fstat64(parent.Get(), &parentStatus) != 0 ||
            cIdentity(parentStatus) != above.identity)
        {
            // The tree was moved while it was walked: where the walk would go on is unknown.
            const int error = parent.IsOpen() ? ESTALE : errno;
            mPath.chop(name.size() + 1);
            mVisitor.Unreadable(mPath, error);
            return false;
        }
        mCurrent = std::move(parent);
        const bool goOn = mVisitor.Leave(mCurrent.Get(), name, mPath);
        mPath.chop(name.size() + 1);
        return goOn;
    }

    const int mTop;
    cTreeVisitor& mVisitor;
    QByteArray mTopName;
    QByteArray mPath; // of the entry at hand, from the top
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
    std::sort(names->begin(), names->end());
    errno = error;
    return error == 0;
}

bool WalkTree(int directory, const QByteArray& name, cTreeVisitor& visitor)
{
    return cWalk(directory, visitor).Run(name);
}
