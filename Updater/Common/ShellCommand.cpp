#include "ShellProcess.h"
#include "UpdateUtils.h"

#include <QByteArray>
#include <QDebug>

namespace
{
struct cShellResult
{
    bool succeeded;
    QByteArray standardError;
};

// A command is waited for until it has ended, however long that takes: unpacking a large tree
// may take minutes.
cShellResult RunShell(const QString& shellLine, QString* output)
{
    cShellProcess shell;
    const bool started = shell.Start(shellLine);
    shell.WaitForEnd(nullptr);
    if (output)
    {
        *output = QString::fromUtf8(shell.ReadAllStandardOutput().constData());
    }
    return {started && shell.EndedWell(), shell.ReadAllStandardError()};
}
} // namespace

bool PerformCommand(const QString& command, const bool& quiet, QString* output)
{
    const cShellResult result = RunShell(command, output);
    if (!result.succeeded && !quiet)
    {
        qDebug() << "Error running command: " << command << " " << result.standardError;
    }
    return result.succeeded;
}

bool PerformSudoCommand(const QString& command, const bool& quiet, QString* output)
{
    const cShellResult result = RunShell(QStringLiteral("sudo ") + command, output);
    if (!result.succeeded && !quiet)
    {
        qDebug() << "Error running command: sudo " << command << " " << result.standardError;
    }
    return result.succeeded;
}
