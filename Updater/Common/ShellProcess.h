#pragma once

// A shell command line run as a process group of its own. The shell is only the first of its
// processes: tar runs beneath it and starts its decompressor in turn, and ending the shell alone
// would leave those two at work in the background. Ending the group ends them all, and as their
// subreaper this process also collects the ones the shell leaves behind, so that nothing of the
// command is still running once EndAndReap has returned. Should this tool itself be killed, the
// shell is killed with it (and so is the program it execs, which inherits that wish).
//
// The child is started by hand rather than through QProcess: a QProcess child waits, between
// fork and exec, for its parent's word to go on, and waits for ever when the parent is killed in
// that instant. It would then hold the caller's output and this tool's lock on the update files
// until the box restarts. The child here never waits for its parent.

#include "BoundedOutput.h"
#include "Deadline.h"
#include "FileDescriptor.h"

#include <QByteArray>
#include <QString>
#include <sys/types.h>

class cShellProcess
{
public:
    enum class eErrorOutput
    {
        Captured,  // kept, bounded, for ReadAllStandardError
        Forwarded, // goes to this tool's own standard error
    };

    cShellProcess() = default;
    cShellProcess(const cShellProcess&) = delete;
    cShellProcess& operator=(const cShellProcess&) = delete;
    ~cShellProcess() { EndAndReap(); }

    // Runs shellLine through /bin/sh -c. Its standard input is closed at once: nothing is ever
    // written to a command, and one that reads its input gets an end of file. True once the
    // shell runs; otherwise ErrorString() says why.
    bool Start(const QString& shellLine, eErrorOutput errors = eErrorOutput::Captured);

    // Waits for the shell to end by itself: until the deadline, or for as long as it takes
    // without one. True when it has ended.
    bool WaitForEnd(const cDeadline* deadline);

    // Reads standard output up to and including its first line end, or its first maxBytes bytes
    // (at most COMMAND_OUTPUT_KEPT_BYTES) when no line end comes before them, or all of it when
    // it ends sooner. False, with an empty line, when the deadline passes first: what came by
    // then is not a whole line. The line stays in what ReadAllStandardOutput hands over.
    bool ReadFirstLine(int maxBytes, const cDeadline& deadline, QByteArray* line);

    // Kills whatever is left of the group and reaps all of it, the shell included.
    void EndAndReap();

    // The shell ended by itself with a normal exit and code 0.
    bool EndedWell() const;
    // The exit code, or the number of the signal that ended the shell.
    int ExitCode() const;
    QString ErrorString() const { return mError; }
    // What was kept of each stream: all of it, or its start and its end around a line that
    // counts the bytes left out (see cBoundedOutput).
    QByteArray ReadAllStandardOutput() { return mOutput.Take(); }
    QByteArray ReadAllStandardError() { return mErrors.Take(); }

private:
    // Waits up to waitMs for output, and reads one helping of whatever came.
    void Collect(int waitMs);
    // Reads what the pipes hold now, without waiting for more.
    void Drain();
    // Collects the shell's status if it has ended, or waits for it to end.
    bool Reap(bool wait);
    bool GroupMayHaveMembers() const;

    pid_t mShell = 0; // also the id of its group
    bool mReaped = false;
    bool mEndedByItself = false;
    int mStatus = 0; // as waitpid reports it
    cFileDescriptor mOutputPipe;
    cFileDescriptor mErrorPipe;
    cBoundedOutput mOutput;
    cBoundedOutput mErrors;
    QString mError;
};
