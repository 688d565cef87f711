#include "UpdateUtils.h"

#include <QByteArray>
#include <QDebug>
#include <QProcess>

namespace
{
// One wait, not a limit: unpacking a large tree may take minutes, and a command is always
// waited for until it has ended.
constexpr int COMMAND_WAIT_MS = 30000;

struct cShellResult
{
    bool succeeded;
    QByteArray standardError;
};

cShellResult RunShell(const QString& shellLine, QString* output)
{
    QProcess process;
    process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), shellLine},
                  QIODevice::ReadWrite);
    // Nothing is ever written to a command; one that reads its input gets an end of file
    // instead of waiting for ever.
    process.closeWriteChannel();
    while (process.state() != QProcess::NotRunning)
    {
        process.waitForFinished(COMMAND_WAIT_MS);
    }
    if (output)
    {
        *output = QString::fromUtf8(process.readAllStandardOutput().constData());
    }
    // A shell that never started reports a normal exit with code 0.
    const bool succeeded = process.error() != QProcess::FailedToStart &&
                           process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return {succeeded, process.readAllStandardError()};
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
