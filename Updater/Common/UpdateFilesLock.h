#pragma once

// The download and the extraction both change the update files: the archive, its companion and
// the firmware tree. Each holds this lock while it changes them, so that neither undoes what
// the other has just reported done. The lock is flock on the home directory itself: the kernel
// drops it with the process that held it, so a killed run never holds up the next one, and
// there is no lock file to plant a link at. The commands a step runs do not inherit it. Steps
// that only read, or that write other files, never take it.

#include "FileDescriptor.h"

#include <QString>

class cUpdateFilesLock
{
public:
    cUpdateFilesLock() = default;
    cUpdateFilesLock(const cUpdateFilesLock&) = delete;
    cUpdateFilesLock& operator=(const cUpdateFilesLock&) = delete;

    // Takes the lock on directory, waiting at most waitMs for another holder to let it go.
    // False when it did not come in time, or the directory cannot be opened: Failure() says
    // which. The lock is held until this object goes.
    bool Acquire(const QString& directory, int waitMs);
    const QString& Failure() const { return mFailure; }

private:
    bool Fail(const QString& why);

    cFileDescriptor mDirectory;
    QString mFailure;
};
