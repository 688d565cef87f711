#pragma once

// A shell command line whose processes form a group of their own. The shell is only the first
// of them: tar runs beneath it and starts its decompressor in turn, and killing the shell alone
// leaves those two unpacking on in the background. Ending the group ends them all, and as their
// subreaper this process also collects the ones the shell leaves behind, so that nothing of the
// command is still at work once EndAndReap returns.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <cerrno>
#include <csignal>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

class cProcessGroupCommand : public QProcess
{
public:
    cProcessGroupCommand() = default;
    cProcessGroupCommand(const cProcessGroupCommand&) = delete;
    cProcessGroupCommand& operator=(const cProcessGroupCommand&) = delete;
    ~cProcessGroupCommand() override { EndAndReap(); }

    // Runs the command line through "sh -c". True once the shell runs.
    bool Start(const QString& commandLine)
    {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        start(QStringLiteral("sh"), {QStringLiteral("-c"), commandLine});
        const qint64 pid = processId();
        if (pid > 0)
        {
            mGroup = static_cast<pid_t>(pid);
            // Also done in the child; whichever comes first, the group exists before any kill.
            setpgid(mGroup, mGroup);
        }
        return waitForStarted(-1);
    }

    // Kills what is left of the group and reaps all of it, the shell included.
    void EndAndReap()
    {
        if (mGroup <= 0)
        {
            return; // never started: a group id of 0 would name this tool's own group
        }
        ::kill(-mGroup, SIGKILL);
        waitForFinished(-1);
        while (waitpid(-mGroup, nullptr, 0) > 0 || errno == EINTR)
        {
        }
        mGroup = 0;
    }

protected:
    void setupChildProcess() override { setpgid(0, 0); }

private:
    pid_t mGroup = 0;
};
