#pragma once

// The archive's body as far as a download got with it, handed on to the next download under a
// fixed name beside the archive, so that a transfer cut off costs only the bytes that were not yet
// on the disk. The file holds the body alone, and is renamed into place as the archive once the
// companion describes it. What resuming it needs (the server's validator, the whole body's length
// and how many bytes are on the disk) lies in a small record beside it, replaced whole, and
// written only once the bytes it counts are on the disk: a run killed at any moment leaves a
// record that claims no more than the body holds, and the next run cuts the body to it.
//
// The run that holds the body (flock; the kernel drops it with a killed run) is the only one that
// changes the body or its record: a second download at the same time writes a temporary file of
// its own from the first byte. The body is never opened through a link, nor as anything but a
// regular file. A body without a record is of no use to another run, and goes with its own.

#include "BodyFile.h"
#include "FileDescriptor.h"

class cPartialBody : public cBodyFile
{
public:
    // The body an earlier run kept, cut to what its record counts, or a new empty one; null when
    // another download holds it, or when this process could not have replaced the archive.
    static std::unique_ptr<cPartialBody> Take();
    ~cPartialBody() override;

    QFile& File() override { return mFile; }
    bool Sync() override;
    bool CommitAs(const QByteArray& name) override;
    void Discard() override;
    bool StartOver() override;
    void Keep(const cResumePoint& point) override;
    cResumePoint Kept() const override { return mKept; }
    // The body goes with the step unless it is recorded, or no longer under its name.
    QByteArray TemporaryPath() const override;

private:
    cPartialBody(cFileDescriptor directory, cFileDescriptor body);
    bool Open();
    void TakeRecord();
    void RemoveRecord();

    cFileDescriptor mDirectory;
    cFileDescriptor mBody;
    QFile mFile;
    cResumePoint mKept;
    // The body stays for the next run only while a record of it does.
    bool mRecorded = false;
};
