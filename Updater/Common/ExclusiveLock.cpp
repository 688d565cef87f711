#include "ExclusiveLock.h"

#include "Deadline.h"

#include <cerrno>
#include <sys/file.h>
#include <time.h>

namespace
{
// flock cannot wait with a limit; trying again this often costs nothing while another holds it.
constexpr long RETRY_INTERVAL_NS = 10 * 1000 * 1000;
} // namespace

int LockExclusivelyWithin(int descriptor, int waitMs)
{
    const cDeadline deadline(waitMs);
    while (flock(descriptor, LOCK_EX | LOCK_NB) != 0)
    {
        if (errno != EWOULDBLOCK && errno != EINTR)
        {
            return errno;
        }
        if (deadline.HasPassed())
        {
            return EWOULDBLOCK;
        }
        const timespec pause{0, RETRY_INTERVAL_NS};
        nanosleep(&pause, nullptr);
    }
    return 0;
}
