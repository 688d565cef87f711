#include "UpdateFilesLock.h"

#include "ExclusiveLock.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace
{
QString ErrorText(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}
} // namespace

bool cUpdateFilesLock::Acquire(const QString& directory, int waitMs)
{
    mDirectory.Reset(
        open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!mDirectory.IsOpen())
    {
        return Fail(ErrorText(errno));
    }
    const int error = LockExclusivelyWithin(mDirectory.Get(), waitMs);
    if (error == EWOULDBLOCK)
    {
        return Fail(QStringLiteral("still in use after %1 ms").arg(waitMs));
    }
    return error == 0 || Fail(ErrorText(error));
}

bool cUpdateFilesLock::Fail(const QString& why)
{
    mFailure = why;
    mDirectory.Reset();
    return false;
}
