#include "UpdateFilesLock.h"

#include "Deadline.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>

namespace
{
// flock cannot wait with a limit; trying again this often costs nothing while another holds it.
constexpr long RETRY_INTERVAL_NS = 10 * 1000 * 1000;

bool TryLock(int fd)
{
    return flock(fd, LOCK_EX | LOCK_NB) == 0;
}
} // namespace

bool cUpdateFilesLock::Acquire(const QString& directory, int waitMs)
{
    mDirectory.Reset(
        open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!mDirectory.IsOpen())
    {
        return false;
    }
    const cDeadline deadline(waitMs);
    while (!TryLock(mDirectory.Get()))
    {
        if (errno != EWOULDBLOCK || deadline.HasPassed())
        {
            mDirectory.Reset();
            return false;
        }
        const timespec pause{0, RETRY_INTERVAL_NS};
        nanosleep(&pause, nullptr);
    }
    return true;
}
