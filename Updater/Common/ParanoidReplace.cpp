#include "ParanoidReplace.h"

#include "UpdateUtils.h"

#include <QDebug>
#include <QFileInfo>
#include <QRegularExpression>

namespace
{
bool RunSudo(const QString& command)
{
    return PerformSudoCommand(command, false, nullptr);
}

bool SudoExists(const QString& path)
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

} // namespace

const cFileOperations SUDO_FILE_OPERATIONS = {SudoExists, SudoCopy, SudoMove, SudoRemove};

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
