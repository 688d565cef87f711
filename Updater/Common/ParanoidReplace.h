#pragma once

// What the careful copy and the careful unpack share: the names beside a target, the clearing
// of what an interrupted call left there, the file operations run through sudo, and the
// permission handling of the sudo forms.

#include <QString>
#include <QStringList>

// Where the new content is built before it takes the target's name.
QString StagingPath(const QString& target);
// Where the previous content waits until the new content is in place.
QString SetAsidePath(const QString& target);

// The sudo forms put paths into command lines unquoted, so each one must be a single plain
// word that neither the shell nor a command's option parsing can read as anything else. The
// first path that is not is named in the log and everything is refused.
bool AreShellSafe(const QStringList& paths);

struct cFileOperations
{
    bool (*Exists)(const QString& path);
    bool (*Copy)(const QString& source, const QString& target);
    bool (*Move)(const QString& from, const QString& to);
    bool (*Remove)(const QString& path);
};

// cp -r, mv and rm -rf through sudo; each failing command is logged.
extern const cFileOperations SUDO_FILE_OPERATIONS;

// An interrupted call leaves content at the staging or set-aside path. Left there, it would
// block every later rotation or have the new tree moved inside it. A set-aside content
// without a target is the last good one and goes back first; otherwise both are removed.
// stagingPath may be empty when the caller builds nothing beside the target.
bool ClearLeftovers(const cFileOperations& operations, const QString& target,
                    const QString& stagingPath);

struct cSudoReplacement
{
    bool (*ArePathsSafe)(const QString& from, const QString& target);
    bool (*Replace)(const QString& from, const QString& target);
};

// Replaces target from `from`, then gives it `permissions` (chmod -R). After a failure an
// existing target gets back the mode it had.
bool ReplaceWithSudoPermissions(const cSudoReplacement& replacement, const QString& from,
                                const QString& target, const QString& permissions);
