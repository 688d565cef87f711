#include "FileDescriptor.h"
#include "UpdateLimits.h"
#include "UpdatePaths.h"
#include "UpdateUtils.h"

#include <QFile>
#include <QList>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

namespace
{
// O_NONBLOCK: opening a FIFO would otherwise wait for a writer that may never come. The 64-bit
// forms of open and stat, here and below, take files of 2 GiB and more on 32-bit processors too.
constexpr int READ_FLAGS = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_LARGEFILE;

bool IsBelowHome(const QString& path)
{
    return path.startsWith(PXM_HOME + QLatin1Char('/'));
}

// Only a regular file is opened at all: opening a device node can have effects of its own. The
// descriptor is checked again, in case the entry changed between the look and the open.
cFileDescriptor OpenRegularFile(int directory, const QByteArray& name, bool followLink)
{
    struct stat64 seen;
    if (fstatat64(directory, name.constData(), &seen, followLink ? 0 : AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(seen.st_mode))
    {
        return cFileDescriptor();
    }
    cFileDescriptor file(
        openat(directory, name.constData(), READ_FLAGS | (followLink ? 0 : O_NOFOLLOW)));
    struct stat64 opened;
    if (!file.IsOpen() || fstat64(file.Get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
        opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino)
    {
        return cFileDescriptor();
    }
    return file;
}

// Everything below the home may have come out of an archive, so no link there is followed: each
// directory on the way is opened from the one before it, refusing links.
cFileDescriptor OpenBelowHome(const QString& path)
{
    cFileDescriptor directory(
        open(QFile::encodeName(PXM_HOME).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const QList<QByteArray> names = QFile::encodeName(path.mid(PXM_HOME.size() + 1)).split('/');
    for (int i = 0; i + 1 < names.size() && directory.IsOpen(); ++i)
    {
        if (!names[i].isEmpty())
        {
            directory.Reset(openat(directory.Get(), names[i].constData(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
    }
    if (!directory.IsOpen())
    {
        return cFileDescriptor();
    }
    return OpenRegularFile(directory.Get(), names.last(), false);
}
} // namespace

QByteArray ReadLineUpTo(QIODevice& device, int maxBytes)
{
    // This form of readLine keeps its limit in every Qt version: at most size - 1 bytes.
    std::vector<char> buffer(static_cast<size_t>(maxBytes) + 1);
    const qint64 length = device.readLine(buffer.data(), static_cast<qint64>(buffer.size()));
    return QByteArray(buffer.data(), length > 0 ? static_cast<int>(length) : 0);
}

QByteArray ReadFirstLine(const QString& path)
{
    cFileDescriptor descriptor = IsBelowHome(path)
                                     ? OpenBelowHome(path)
                                     : OpenRegularFile(AT_FDCWD, QFile::encodeName(path), true);
    QFile file;
    if (!descriptor.IsOpen() ||
        !file.open(descriptor.Get(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
    {
        return QByteArray();
    }
    descriptor.Release();
    return ReadLineUpTo(file, FIRST_LINE_CAP_BYTES);
}
