#pragma once

// Where a downloaded body is written on its way to its target, beside it: a temporary file of the
// run's own, or for the archive the partial body that runs hand on (PartialBody.h).

#include <QByteArray>
#include <QFile>
#include <QString>
#include <memory>

// What a body that broke off needs to be resumed: the token the server names this version of it
// by (its ETag, else its Last-Modified), the length of the whole body, and how many of its first
// bytes are on the disk.
struct cResumePoint
{
    QByteArray validator;
    qint64 length = -1;
    qint64 kept = 0;
};

class cBodyFile
{
public:
    virtual ~cBodyFile() = default;

    // Open for reading and writing, at its end.
    virtual QFile& File() = 0;
    // True once every byte written is on the disk.
    virtual bool Sync() = 0;
    // Renames it to name beside its target; true once that rename is on the disk.
    virtual bool CommitAs(const QByteArray& name) = 0;
    // Removes it at once.
    virtual void Discard() = 0;
    // Empties it, for a body that starts again from its first byte.
    virtual bool StartOver() = 0;
    // Puts the body's bytes on the disk and records point for a run to come. A temporary file
    // goes with its run whatever it holds.
    virtual void Keep(const cResumePoint& point) { (void)point; }
    // What an earlier run kept; kept is 0 when there is nothing.
    virtual cResumePoint Kept() const { return cResumePoint(); }
    // What to remove should the step be ended from outside now; empty while the file stays.
    virtual QByteArray TemporaryPath() const { return QByteArray(); }
};

// A temporary file of the run's own beside target, or null, logged, when it cannot be made.
std::unique_ptr<cBodyFile> OpenTemporaryBody(const QString& target);
