#include "Deadline.h"

cDeadline::cDeadline(int timeoutMs) : mTimeoutMs(timeoutMs > 0 ? timeoutMs : 0)
{
    mTimer.start();
}

int cDeadline::RemainingMs() const
{
    const qint64 left = mTimeoutMs - mTimer.elapsed();
    return left > 0 ? static_cast<int>(left) : 0;
}
