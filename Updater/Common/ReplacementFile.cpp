#include "ReplacementFile.h"

#include "TreeWalk.h"

#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{
const QByteArray TEMPORARY_INFIX = QByteArrayLiteral(".new-");
constexpr int SUFFIX_LENGTH = 6;
// A name that is taken already costs one more try; only a directory full of them runs out.
constexpr int CREATE_ATTEMPTS = 100;
// Less the umask, as for any new file.
constexpr mode_t NEW_FILE_MODE = 0666;
constexpr mode_t PERMISSION_BITS = 0777;

QString ErrorText(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

// The names need not be hard to guess: a file is only ever made under a name that was free
// (O_EXCL), and never through a link (O_NOFOLLOW).
QByteArray RandomSuffix()
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::minstd_rand generator = []
    {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return std::minstd_rand(static_cast<unsigned>(getpid()) * 2654435761u ^
                                static_cast<unsigned>(now.tv_nsec));
    }();
    std::uniform_int_distribution<int> pick(0, sizeof(letters) - 2);
    QByteArray suffix;
    for (int i = 0; i < SUFFIX_LENGTH; ++i)
    {
        suffix += letters[pick(generator)];
    }
    return suffix;
}

QByteArray TemporaryPrefix(const QByteArray& targetName)
{
    return targetName + TEMPORARY_INFIX;
}

// A writer locks its file right after making it and gives it up when it finds the file locked
// already, or no longer under its name: a remover of leftovers got there first. So a remover
// that holds the lock and still finds the file under its name has a file no writer will use.
void RemoveLeftovers(int directory, const QByteArray& targetName)
{
    std::vector<QByteArray> names;
    ListNames(directory, &names);
    for (const QByteArray& name : names)
    {
        if (!name.startsWith(TemporaryPrefix(targetName)))
        {
            continue;
        }
        cFileDescriptor file(
            openat(directory, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (file.IsOpen() && flock(file.Get(), LOCK_EX | LOCK_NB) == 0 &&
            IsNamed(file.Get(), directory, name))
        {
            unlinkat(directory, name.constData(), 0);
        }
    }
}

bool LacksSpace(int error)
{
    return error == ENOSPC || error == EDQUOT;
}

// The file's own blocks take the new content when no other block is free. A hard link would
// carry the write to a file under another name, perhaps outside the home.
bool OverwriteInPlace(const QString& target, const QByteArray& content)
{
    const QByteArray path = QFile::encodeName(target);
    struct stat64 named;
    if (lstat64(path.constData(), &named) != 0 || !S_ISREG(named.st_mode) || named.st_nlink != 1)
    {
        return false;
    }
    const cFileDescriptor file(
        open(path.constData(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat64 opened;
    return file.IsOpen() && fstat64(file.Get(), &opened) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino &&
           pwrite64(file.Get(), content.constData(), content.size(), 0) == content.size() &&
           ftruncate64(file.Get(), content.size()) == 0 && fdatasync(file.Get()) == 0;
}

cFileDescriptor OpenDirectoryOf(const QString& path)
{
    return cFileDescriptor(open(QFile::encodeName(QFileInfo(path).path()).constData(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}
} // namespace

cReplacementFile::cReplacementFile(const QString& target)
    : mTarget(target), mTargetName(QFile::encodeName(QFileInfo(target).fileName()))
{
}

cReplacementFile::~cReplacementFile()
{
    Discard();
}

bool cReplacementFile::Open()
{
    mDirectory = OpenDirectoryOf(mTarget);
    if (!mDirectory.IsOpen())
    {
        return Fail();
    }
    struct stat64 replaced;
    const bool replacesFile =
        fstatat64(mDirectory.Get(), mTargetName.constData(), &replaced, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(replaced.st_mode);
    // Writing the file in place would have needed the right to write it.
    if (replacesFile && faccessat(mDirectory.Get(), mTargetName.constData(), W_OK, AT_EACCESS) != 0)
    {
        return Fail();
    }
    RemoveLeftovers(mDirectory.Get(), mTargetName);
    if (!Create())
    {
        return false;
    }
    if (replacesFile)
    {
        KeepModeAndOwner(mTemporary.Get(), replaced);
    }
    if (!mFile.open(mTemporary.Get(), QIODevice::WriteOnly | QIODevice::Unbuffered,
                    QFileDevice::DontCloseHandle))
    {
        mError = mFile.errorString();
        mErrorNumber = 0;
        Discard();
        return false;
    }
    return true;
}

bool cReplacementFile::Write(const QByteArray& content)
{
    const char* next = content.constData();
    std::size_t left = static_cast<std::size_t>(content.size());
    while (left > 0)
    {
        const ssize_t written = write(mTemporary.Get(), next, left);
        if (written < 0 && errno == EINTR)
        {
            continue;
        }
        if (written == 0)
        {
            errno = EIO; // a regular file takes at least one byte or says why not
        }
        if (written <= 0)
        {
            return Fail();
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

bool cReplacementFile::Sync()
{
    return (mTemporary.IsOpen() && fdatasync(mTemporary.Get()) == 0) || Fail();
}

bool cReplacementFile::Commit()
{
    return CommitAs(mTargetName);
}

bool cReplacementFile::CommitAs(const QByteArray& name)
{
    if (mTemporaryName.isEmpty())
    {
        return false;
    }
    mFile.close();
    if (renameat(mDirectory.Get(), mTemporaryName.constData(), mDirectory.Get(),
                 name.constData()) != 0)
    {
        return Fail();
    }
    mTemporaryName.clear();
    mTemporary.Reset();
    return fsync(mDirectory.Get()) == 0 || Fail();
}

void cReplacementFile::Discard()
{
    mFile.close();
    if (!mTemporaryName.isEmpty())
    {
        unlinkat(mDirectory.Get(), mTemporaryName.constData(), 0);
        mTemporaryName.clear();
    }
    mTemporary.Reset();
}

QString cReplacementFile::ErrorString() const
{
    return mError;
}

QByteArray cReplacementFile::TemporaryPath() const
{
    return mTemporaryName.isEmpty()
               ? QByteArray()
               : QFile::encodeName(QFileInfo(mTarget).path()) + '/' + mTemporaryName;
}

bool cReplacementFile::Create()
{
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt)
    {
        const QByteArray name = TemporaryPrefix(mTargetName) + RandomSuffix();
        cFileDescriptor file(openat(mDirectory.Get(), name.constData(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                    NEW_FILE_MODE));
        if (!file.IsOpen())
        {
            if (errno == EEXIST)
            {
                continue;
            }
            return Fail();
        }
        // Only a remover of leftovers holds a lock on a file this young (a file system without
        // locks leaves the file to its writer alone).
        const bool locked = flock(file.Get(), LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
        if (locked && IsNamed(file.Get(), mDirectory.Get(), name))
        {
            mTemporary = std::move(file);
            mTemporaryName = name;
            return true;
        }
    }
    errno = EEXIST;
    return Fail();
}

bool cReplacementFile::Fail()
{
    mErrorNumber = errno;
    mError = ErrorText(errno);
    return false;
}

bool ReplaceFileContent(const QString& target, const QByteArray& content, QString* failure)
{
    cReplacementFile file(target);
    if (file.Open() && file.Write(content) && file.Sync() && file.Commit())
    {
        return true;
    }
    file.Discard(); // its inode and blocks may be all the file system had left
    if (LacksSpace(file.ErrorNumber()) && OverwriteInPlace(target, content))
    {
        return true;
    }
    if (failure != nullptr)
    {
        *failure = file.ErrorString();
    }
    return false;
}

void RemoveLeftoverReplacements(const QString& target)
{
    const cFileDescriptor directory = OpenDirectoryOf(target);
    if (directory.IsOpen())
    {
        RemoveLeftovers(directory.Get(), QFile::encodeName(QFileInfo(target).fileName()));
    }
}

void KeepModeAndOwner(int fd, const struct stat64& replaced)
{
    const bool ownOwner = replaced.st_uid == geteuid() && replaced.st_gid == getegid();
    if (!ownOwner && fchown(fd, replaced.st_uid, replaced.st_gid) != 0)
    {
        // Only root may give a file away: any other process keeps the new file as its own.
    }
    fchmod(fd, replaced.st_mode & PERMISSION_BITS);
}

bool IsNamed(int fd, int directory, const QByteArray& name)
{
    struct stat64 opened;
    struct stat64 named;
    return fstat64(fd, &opened) == 0 &&
           fstatat64(directory, name.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

bool RenameDurably(int directory, const QByteArray& from, const QByteArray& to)
{
    return renameat(directory, from.constData(), directory, to.constData()) == 0 &&
           fsync(directory) == 0;
}
