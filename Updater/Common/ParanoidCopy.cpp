#include "ParanoidReplace.h"
#include "UpdateUtils.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace
{
bool RunSudo(const QString& command)
{
    return PerformSudoCommand(command, false, nullptr);
}

bool PathExists(const QString& path)
{
    return QFileInfo::exists(path);
}

bool SudoCopy(const QString& source, const QString& target)
{
    return RunSudo("cp -r " + source + " " + target);
}

bool SudoMove(const QString& from, const QString& to)
{
    return RunSudo("mv " + from + " " + to);
}

bool SudoRemove(const QString& path)
{
    return RunSudo("rm -rf " + path);
}

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

const cFileOperations LOCAL_FILE_OPERATIONS = {PathExists, LocalCopy, LocalMove, LocalRemove};

// chmod's symbolic and octal modes need none of the shell's special characters.
bool IsShellSafeMode(const QString& mode)
{
    static const QRegularExpression plainMode(QStringLiteral("\\A[0-7ugoarwxXst+=,-]+\\z"));
    if (plainMode.match(mode).hasMatch())
    {
        return true;
    }
    qDebug() << "Refusing unsafe mode:" << mode;
    return false;
}

bool ReadSudoMode(const QString& target, QString* mode)
{
    if (!PerformSudoCommand("stat -c '%a' " + target, false, mode))
    {
        return false;
    }
    if (mode->endsWith('\n'))
    {
        mode->chop(1);
    }
    return true;
}

QString ChmodCommand(const QString& mode, const QString& target)
{
    return "chmod -R " + mode + " " + target;
}

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

const cFileOperations SUDO_FILE_OPERATIONS = {PathExists, SudoCopy, SudoMove, SudoRemove};

QString StagingPath(const QString& target)
{
    return target + QStringLiteral("_new");
}

QString SetAsidePath(const QString& target)
{
    return target + QStringLiteral("_old");
}

bool AreShellSafe(const QStringList& paths)
{
    // No blank, quote, expansion or separator, and no leading dash that cp, mv, rm, tar or
    // chmod would take for an option.
    static const QRegularExpression plainWord(
        QStringLiteral("\\A[A-Za-z0-9/._+,:@%][A-Za-z0-9/._+,:@%-]*\\z"));
    for (const QString& path : paths)
    {
        if (!plainWord.match(path).hasMatch())
        {
            qDebug() << "Refusing unsafe path:" << path;
            return false;
        }
    }
    return true;
}

bool ClearLeftovers(const cFileOperations& operations, const QString& target,
                    const QString& stagingPath)
{
    const QString setAside = SetAsidePath(target);
    if (operations.Exists(setAside))
    {
        const bool cleared = operations.Exists(target) ? operations.Remove(setAside)
                                                       : operations.Move(setAside, target);
        if (!cleared)
        {
            return false;
        }
    }
    return stagingPath.isEmpty() || !operations.Exists(stagingPath) ||
           operations.Remove(stagingPath);
}

bool ReplaceWithSudoPermissions(const cSudoReplacement& replacement, const QString& from,
                                const QString& target, const QString& permissions)
{
    if (!replacement.ArePathsSafe(from, target) || !IsShellSafeMode(permissions))
    {
        return false;
    }
    const bool existed = QFileInfo::exists(target);
    QString savedMode;
    if (existed && !ReadSudoMode(target, &savedMode))
    {
        return false;
    }
    if (replacement.Replace(from, target))
    {
        return RunSudo(ChmodCommand(permissions, target));
    }
    if (existed)
    {
        RunSudo(ChmodCommand(savedMode, target));
    }
    return false;
}

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
