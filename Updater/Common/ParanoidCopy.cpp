#include "ParanoidReplace.h"
#include "UpdateUtils.h"

#include <QFile>
#include <QFileInfo>

namespace
{
bool LocalCopy(const QString& source, const QString& target)
{
    return QFile::copy(source, target);
}

bool LocalMove(const QString& from, const QString& to)
{
    return QFile::rename(from, to);
}

bool LocalRemove(const QString& path)
{
    return QFile::remove(path);
}

bool LocalExists(const QString& path)
{
    return QFileInfo::exists(path);
}

const cFileOperations LOCAL_FILE_OPERATIONS = {LocalExists, LocalCopy, LocalMove, LocalRemove};

// The staged copy is complete before the target is touched, and the previous content is
// deleted only once the copy carries the target's name.
bool Rotate(const cFileOperations& operations, const QString& source, const QString& target)
{
    const QString staging = StagingPath(target);
    const QString setAside = SetAsidePath(target);
    if (!ClearLeftovers(operations, target, staging))
    {
        return false;
    }
    if (!operations.Exists(target))
    {
        return operations.Copy(source, target);
    }
    if (!operations.Copy(source, staging) || !operations.Move(target, setAside))
    {
        return false;
    }
    if (!operations.Move(staging, target))
    {
        operations.Move(setAside, target);
        return false;
    }
    return operations.Remove(setAside);
}

bool AreCopyPathsSafe(const QString& source, const QString& target)
{
    return AreShellSafe({source, target});
}
} // namespace

bool PerformParanoidCopy(const QString& source, const QString& target)
{
    return Rotate(LOCAL_FILE_OPERATIONS, source, target);
}

bool ParanoidCopy(const QString& source, const QString& target,
                  QFlags<QFileDevice::Permission> permissions)
{
    const bool existed = QFile::exists(target);
    // The User flags tell what this process may do, not the file's mode; set back, they would
    // turn into owner bits.
    const QFileDevice::Permissions previous =
        QFile::permissions(target) & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
    const bool replaced = PerformParanoidCopy(source, target);
    if (replaced)
    {
        QFile::setPermissions(target, permissions);
    }
    else if (existed)
    {
        // Only content that was there before has permissions worth giving back; an empty set
        // would lock out content an interrupted call left to be moved back.
        QFile::setPermissions(target, previous);
    }
    return replaced;
}

bool PerformParanoidSudoCopy(const QString& source, const QString& target)
{
    return AreCopyPathsSafe(source, target) && Rotate(SUDO_FILE_OPERATIONS, source, target);
}

bool ParanoidSudoCopy(const QString& source, const QString& target, const QString& permissions)
{
    return ReplaceWithSudoPermissions({AreCopyPathsSafe, PerformParanoidSudoCopy}, source, target,
                                      permissions);
}
