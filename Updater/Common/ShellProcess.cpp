#include "ShellProcess.h"

#include "UpdateUtils.h"

#include <QStringList>
#include <cerrno>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

void cShellProcess::cGroupLeader::setupChildProcess()
{
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The tool may have died before the wish was made; then nobody is left to end the command.
    if (getppid() != mParent)
    {
        _exit(127);
    }
}

bool cShellProcess::Start(const QString& shellLine, QProcess::ProcessChannelMode channels)
{
    // Processes of the group whose parent ends are handed to this process, not to init, so that
    // EndAndReap can wait for them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    mShell.mParent = getpid();
    mShell.setProcessChannelMode(channels);
    mShell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), shellLine},
                 QIODevice::ReadWrite);
    const qint64 pid = mShell.processId();
    if (pid > 0)
    {
        mGroup = static_cast<pid_t>(pid);
        // Also done in the child; whichever comes first, the group exists before any kill.
        setpgid(mGroup, mGroup);
    }
    if (!mShell.waitForStarted(-1))
    {
        return false;
    }
    mShell.closeWriteChannel();
    return true;
}

bool cShellProcess::WaitForEnd(const cDeadline* deadline)
{
    if (mShell.state() != QProcess::NotRunning)
    {
        mShell.waitForFinished(deadline ? deadline->RemainingMs() : -1);
    }
    mEndedByItself = mShell.state() == QProcess::NotRunning;
    return mEndedByItself;
}

bool cShellProcess::ReadFirstLine(int maxBytes, const cDeadline& deadline, QByteArray* line)
{
    line->clear();
    while (!mShell.canReadLine() && mShell.bytesAvailable() < maxBytes &&
           mShell.state() != QProcess::NotRunning)
    {
        if (!mShell.waitForReadyRead(deadline.RemainingMs()))
        {
            if (deadline.HasPassed() && mShell.state() != QProcess::NotRunning)
            {
                return false;
            }
            break; // the output has ended
        }
    }
    *line = ReadLineUpTo(mShell, maxBytes);
    return true;
}

bool cShellProcess::EndedWell() const
{
    return mEndedByItself && mShell.error() != QProcess::FailedToStart &&
           mShell.exitStatus() == QProcess::NormalExit && mShell.exitCode() == 0;
}

// Once the shell has been reaped its process id may be given to an unrelated process; the group
// id stays reserved only while a member lives, and every living member is a child of this
// process or below one (it is their subreaper).
bool cShellProcess::GroupMayHaveMembers() const
{
    siginfo_t info;
    return mShell.state() != QProcess::NotRunning ||
           waitid(P_PGID, static_cast<id_t>(mGroup), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

void cShellProcess::EndAndReap()
{
    if (mGroup <= 0)
    {
        return; // never started: a group id of 0 would name this tool's own group
    }
    if (GroupMayHaveMembers())
    {
        ::kill(-mGroup, SIGKILL);
    }
    mShell.waitForFinished(-1);
    for (;;)
    {
        const pid_t reaped = waitpid(-mGroup, nullptr, 0);
        if (reaped < 0 && errno != EINTR)
        {
            break;
        }
    }
    mGroup = 0;
}
