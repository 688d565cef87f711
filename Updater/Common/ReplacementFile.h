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
//
// A file system without a free block or inode cannot take the temporary file. ReplaceFileContent
// then writes the new content over the old file in place instead: over its start, and then cuts
// the file to the new length, so that a reader may for that moment see the new bytes followed by
// what is left of the old ones (14 overwritten by 9 reads 94), but never an empty file. Only a
// regular file with no other name is written so, never through a link, and only where its
// permissions allow.

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
    // Writes all of content to the temporary file; false with ErrorString() when it could not.
    bool Write(const QByteArray& content);
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
    // The errno of the failure, 0 when it had none.
    int ErrorNumber() const { return mErrorNumber; }
    // The temporary file's path; empty once it is renamed or removed.
    QByteArray TemporaryPath() const;

private:
    bool Create();
    bool Fail(); // keeps errno's text

    QString mTarget;
    QByteArray mTargetName;
    cFileDescriptor mDirectory;
    cFileDescriptor mTemporary;
    QByteArray mTemporaryName; // empty while there is no temporary file
    QFile mFile;
    QString mError;
    int mErrorNumber = 0;
};

// Replaces target by a file that holds content, or on a full file system writes content over it
// in place. False when neither could be done, with the reason in failure (when given); target is
// then as it was.
bool ReplaceFileContent(const QString& target, const QByteArray& content,
                        QString* failure = nullptr);

// Removes the temporary files of target that no living writer holds.
void RemoveLeftoverReplacements(const QString& target);

// Gives the open file fd the mode and owner of the regular file replaced, as far as this process
// may: the box's other programs may write the same file, and it keeps working for them.
void KeepModeAndOwner(int fd, const struct stat64& replaced);

// True while name in the open directory is the file open as fd.
bool IsNamed(int fd, int directory, const QByteArray& name);

// Renames from to to, both names in the open directory, and syncs the directory. True once the
// rename is on the disk.
bool RenameDurably(int directory, const QByteArray& from, const QByteArray& to);
