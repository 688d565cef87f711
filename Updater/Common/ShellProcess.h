#pragma once

// A shell command line run as a process group of its own. The shell is only the first of its
// processes: tar runs beneath it and starts its decompressor in turn, and ending the shell alone
// would leave those two at work in the background. Ending the group ends them all, and as their
// subreaper this process also collects the ones the shell leaves behind, so that nothing of the
// command is still running once EndAndReap has returned. Should this tool itself be killed, the
// shell is killed with it (and so is the program it execs, which inherits that wish).

#include "Deadline.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <sys/types.h>

class cShellProcess
{
public:
    cShellProcess() = default;
    cShellProcess(const cShellProcess&) = delete;
    cShellProcess& operator=(const cShellProcess&) = delete;
    ~cShellProcess() { EndAndReap(); }

    // Runs shellLine through /bin/sh -c. Its standard input is closed at once: nothing is ever
    // written to a command, and one that reads its input gets an end of file. True once the
    // shell runs; otherwise ErrorString() says why.
    bool Start(const QString& shellLine,
               QProcess::ProcessChannelMode channels = QProcess::SeparateChannels);

    // Waits for the shell to end by itself: until the deadline, or for as long as it takes
    // without one. True when it has ended.
    bool WaitForEnd(const cDeadline* deadline);

    // Reads standard output up to and including its first line end, or its first maxBytes bytes
    // when no line end comes before them, or all of it when it ends sooner. False, with an empty
    // line, when the deadline passes first: what came by then is not a whole line.
    bool ReadFirstLine(int maxBytes, const cDeadline& deadline, QByteArray* line);

    // Kills whatever is left of the group and reaps all of it, the shell included.
    void EndAndReap();

    // The shell ended by itself with a normal exit and code 0.
    bool EndedWell() const;
    int ExitCode() const { return mShell.exitCode(); }
    QString ErrorString() const { return mShell.errorString(); }
    QByteArray ReadAllStandardOutput() { return mShell.readAllStandardOutput(); }
    QByteArray ReadAllStandardError() { return mShell.readAllStandardError(); }

private:
    // The shell leads a new group; the group and the death signal are set up in the child,
    // before the shell runs, so that no process of the command ever runs without them.
    class cGroupLeader : public QProcess
    {
    public:
        pid_t mParent = 0;

    protected:
        void setupChildProcess() override;
    };

    bool GroupMayHaveMembers() const;

    cGroupLeader mShell;
    pid_t mGroup = 0;
    bool mEndedByItself = false;
};
