#pragma once

// Qt handles a reply's head in the step's own thread, and a head of a hundred thousand lines holds
// that thread inside Qt for minutes: no timer of the step fires meanwhile, and no abort reaches
// the reply. The guard watches from a thread of its own. When the step has not come back from Qt
// by its deadline, the guard ends the step itself: it removes the temporary files it was told of,
// prints the result the step left for that case unless the step printed its own, and exits.
//
// A step that waits on Qt tells the guard when it expects to be back; work of the step's own
// (reading and syncing files, waiting for a lock, each bounded otherwise) is never cut short.

#include <QByteArray>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

class cStepGuard
{
public:
    cStepGuard();
    ~cStepGuard();
    cStepGuard(const cStepGuard&) = delete;
    cStepGuard& operator=(const cStepGuard&) = delete;

    // The step waits on Qt and has a timer of its own that fires within ms; the deadline never
    // moves earlier.
    void ExpectBackWithin(int ms);
    // What to print should the step be ended now.
    void SetLastWords(const QByteArray& result);
    // Prints the step's result, once; from then on the step only has to end.
    void PrintOnce(const QByteArray& result);
    // Temporary files to remove should the step be ended; a path is forgotten once it is gone.
    void Track(const QByteArray& path);
    void Forget(const QByteArray& path);

    // Work of the step's own for the lifetime of this object: the guard does not end the step
    // meanwhile, and expects it back in Qt afterwards.
    class cOwnWork
    {
    public:
        explicit cOwnWork(cStepGuard& guard);
        ~cOwnWork();
        cOwnWork(const cOwnWork&) = delete;
        cOwnWork& operator=(const cOwnWork&) = delete;

    private:
        cStepGuard& mGuard;
    };

private:
    using cClock = std::chrono::steady_clock;

    void Watch();
    [[noreturn]] void EndTheStep();
    void PushDeadline(cClock::time_point deadline);

    std::mutex mMutex;
    std::condition_variable mChanged;
    cClock::time_point mDeadline = cClock::time_point::max();
    int mOwnWork = 0;
    bool mPrinted = false;
    bool mStopping = false;
    QByteArray mLastWords;
    std::vector<QByteArray> mTracked;
    std::thread mWatcher; // last: it starts once the rest is made
};
