#include "UpdateFilesLock.h"

#include "Deadline.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>

namespace
{
// flock cannot wait with a limit; trying again this often costs nothing while another holds it.
constexpr long RETRY_INTERVAL_NS = 10 * 1000 * 1000;

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
    const cDeadline deadline(waitMs);
    while (flock(mDirectory.Get(), LOCK_EX | LOCK_NB) != 0)
    {
        if (errno != EWOULDBLOCK)
        {
            return Fail(ErrorText(errno));
        }
        if (deadline.HasPassed())
        {
            return Fail(QStringLiteral("still in use after %1 ms").arg(waitMs));
        }
        const timespec pause{0, RETRY_INTERVAL_NS};
        nanosleep(&pause, nullptr);
    }
    return true;
}

bool cUpdateFilesLock::Fail(const QString& why)
{
    mFailure = why;
    mDirectory.Reset();
    return false;
}
