#pragma once

// A file's new content is written beside it under a name of its own and then renamed over it:
// a reader sees the old file or the new one, whole, never one half written; a link planted at
// the file's path is replaced, never written through; and the directory is synced after the
// rename, so that a power cut after a reported success keeps what was reported.
//
// The temporary name is the target's followed by ".new-" and six characters. Its writer holds a
// lock on it (flock) for as long as it lives, so a temporary file nobody holds was left by a
// writer that died: the next replacement of the same target removes it. A replacement keeps the
// mode and owner of the regular file it replaces, and does not replace one that this process
// could not have written in place.

#include "FileDescriptor.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <sys/stat.h>

class cReplacementFile
{
public:
    explicit cReplacementFile(const QString& target);
    // Removes the temporary file unless it has been renamed.
    ~cReplacementFile();
    cReplacementFile(const cReplacementFile&) = delete;
    cReplacementFile& operator=(const cReplacementFile&) = delete;

    // Makes the temporary file. False with ErrorString() when it cannot.
    bool Open();
    // The temporary file, open for writing.
    QFile& File() { return mFile; }
    const QString& Target() const { return mTarget; }
    // True once every byte written is on the disk.
    bool Sync();
    // Renames the temporary file over the target; true once that rename is on the disk.
    bool Commit();
    // The same, to another name in the target's directory.
    bool CommitAs(const QByteArray& name);
    // Removes the temporary file at once.
    void Discard();
    QString ErrorString() const;

private:
    bool Create();
    bool Fail(); // keeps errno's text
    void KeepModeAndOwner(const struct stat64& replaced);

    QString mTarget;
    QByteArray mTargetName;
    cFileDescriptor mDirectory;
    cFileDescriptor mTemporary;
    QByteArray mTemporaryName; // empty while there is no temporary file
    QFile mFile;
    QString mError;
};

// Replaces target by a file that holds content. False when it could not; target is then as it
// was.
bool ReplaceFileContent(const QString& target, const QByteArray& content);

// Removes the temporary files of target that no living writer holds.
void RemoveLeftoverReplacements(const QString& target);

// Renames from to to, both names in the open directory, and syncs the directory. True once the
// rename is on the disk.
bool RenameDurably(int directory, const QByteArray& from, const QByteArray& to);
