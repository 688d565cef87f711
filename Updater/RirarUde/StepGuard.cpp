#include "StepGuard.h"

#include "UpdateLimits.h"

#include <QDebug>
#include <algorithm>
#include <unistd.h>

namespace
{
// The step's standard output may be a pipe that takes a result in pieces.
void WriteAll(int fd, const QByteArray& bytes)
{
    qint64 written = 0;
    while (written < bytes.size())
    {
        const ssize_t now = write(fd, bytes.constData() + written, bytes.size() - written);
        if (now < 0)
        {
            return;
        }
        written += now;
    }
}
} // namespace

cStepGuard::cStepGuard() : mWatcher(&cStepGuard::Watch, this) {}

cStepGuard::~cStepGuard()
{
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        mStopping = true;
    }
    mChanged.notify_one();
    mWatcher.join();
}

void cStepGuard::ExpectBackWithin(int ms)
{
    const std::lock_guard<std::mutex> lock(mMutex);
    if (!mPrinted)
    {
        PushDeadline(cClock::now() + std::chrono::milliseconds(ms + DOWNLOAD_HELD_UP_GRACE_MS));
    }
}

void cStepGuard::SetLastWords(const QByteArray& result)
{
    const std::lock_guard<std::mutex> lock(mMutex);
    mLastWords = result;
}

// Printed and marked under the lock, so that the guard never prints a second result.
void cStepGuard::PrintOnce(const QByteArray& result)
{
    const std::lock_guard<std::mutex> lock(mMutex);
    if (mPrinted)
    {
        return;
    }
    WriteAll(STDOUT_FILENO, result);
    mPrinted = true;
    // What is left is tearing down Qt, whose network thread may not let go.
    mDeadline = cClock::now() + std::chrono::milliseconds(DOWNLOAD_HELD_UP_GRACE_MS);
    mChanged.notify_one();
}

void cStepGuard::Track(const QByteArray& path)
{
    const std::lock_guard<std::mutex> lock(mMutex);
    if (!path.isEmpty())
    {
        mTracked.push_back(path);
    }
}

void cStepGuard::Forget(const QByteArray& path)
{
    const std::lock_guard<std::mutex> lock(mMutex);
    mTracked.erase(std::remove(mTracked.begin(), mTracked.end(), path), mTracked.end());
}

cStepGuard::cOwnWork::cOwnWork(cStepGuard& guard) : mGuard(guard)
{
    const std::lock_guard<std::mutex> lock(mGuard.mMutex);
    ++mGuard.mOwnWork;
}

// Back in Qt, every timer of the step that came due meanwhile fires at once, and none runs longer
// than the stall limit.
cStepGuard::cOwnWork::~cOwnWork()
{
    {
        const std::lock_guard<std::mutex> lock(mGuard.mMutex);
        --mGuard.mOwnWork;
    }
    mGuard.ExpectBackWithin(DOWNLOAD_STALL_TIMEOUT_MS);
}

void cStepGuard::PushDeadline(cClock::time_point deadline)
{
    if (mDeadline == cClock::time_point::max() || deadline > mDeadline)
    {
        mDeadline = deadline;
        mChanged.notify_one();
    }
}

void cStepGuard::Watch()
{
    std::unique_lock<std::mutex> lock(mMutex);
    while (!mStopping)
    {
        if (mOwnWork > 0 || mDeadline == cClock::time_point::max())
        {
            mChanged.wait(lock);
        }
        else if (mChanged.wait_until(lock, mDeadline) == std::cv_status::timeout && mOwnWork == 0 &&
                 !mStopping && cClock::now() >= mDeadline)
        {
            EndTheStep();
        }
    }
}

// Runs with the lock held, so the step cannot print or change what is tracked meanwhile. Whatever
// else the step's thread is doing, the process ends here: the partial body a download keeps only
// ever records bytes that are on the disk already.
void cStepGuard::EndTheStep()
{
    qDebug() << "The step is held up inside Qt: ending it";
    for (const QByteArray& path : mTracked)
    {
        unlink(path.constData());
    }
    if (!mPrinted)
    {
        WriteAll(STDOUT_FILENO, mLastWords);
    }
    _exit(1);
}
