#include "ParanoidReplace.h"
#include "UpdateUtils.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace
{
QString ParentDirectory(const QString& target)
{
    return QFileInfo(target).absoluteDir().absolutePath();
}

QString UnpackCommand(const QString& archive, const QString& target)
{
    return "tar -xvf " + archive + " -C " + ParentDirectory(target);
}

bool AreUnpackPathsSafe(const QString& archive, const QString& target)
{
    return AreShellSafe({archive, target, ParentDirectory(target)});
}

// tar succeeds on an archive whose top entry has another name; only the target's presence
// shows the new content is there.
bool Unpack(const QString& archive, const QString& target)
{
    if (!PerformSudoCommand(UnpackCommand(archive, target), false, nullptr))
    {
        return false;
    }
    if (QFileInfo::exists(target))
    {
        return true;
    }
    qDebug() << "Unpacking did not create" << target;
    return false;
}

// mv would put the set-aside tree inside a partial one instead of restoring it; a partial
// target that cannot be removed keeps the set-aside content where it is.
void MoveSetAsideBack(const QString& target)
{
    const cFileOperations& sudo = SUDO_FILE_OPERATIONS;
    if (sudo.Exists(target) && !sudo.Remove(target))
    {
        return;
    }
    sudo.Move(SetAsidePath(target), target);
}

bool UnpackOverExisting(const QString& archive, const QString& target)
{
    const QString setAside = SetAsidePath(target);
    if (!SUDO_FILE_OPERATIONS.Move(target, setAside))
    {
        return false;
    }
    if (!Unpack(archive, target))
    {
        MoveSetAsideBack(target);
        return false;
    }
    return SUDO_FILE_OPERATIONS.Remove(setAside);
}
} // namespace

bool PerformParanoidSudoUntar(const QString& archive, const QString& target)
{
    if (!AreUnpackPathsSafe(archive, target))
    {
        return false;
    }
    qDebug() << "Running command:" << UnpackCommand(archive, target);
    if (!ClearLeftovers(SUDO_FILE_OPERATIONS, target, QString()))
    {
        return false;
    }
    return QFileInfo::exists(target) ? UnpackOverExisting(archive, target)
                                     : Unpack(archive, target);
}

bool ParanoidSudoUntar(const QString& archive, const QString& target, const QString& permissions)
{
    return ReplaceWithSudoPermissions({AreUnpackPathsSafe, PerformParanoidSudoUntar}, archive,
                                      target, permissions);
}
