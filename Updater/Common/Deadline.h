#pragma once

// Every wait on something outside the tool (a board, a child process, a server) runs against a
// deadline on the monotonic clock: the box sets its wall clock from the network after boot, and
// a jump of that clock must neither cut a wait short nor stretch it.

#include <QElapsedTimer>

class cDeadline
{
public:
    explicit cDeadline(int timeoutMs);

    // Milliseconds left before the deadline, 0 once it has passed.
    int RemainingMs() const;
    bool HasPassed() const { return RemainingMs() == 0; }

private:
    QElapsedTimer mTimer;
    qint64 mTimeoutMs;
};
