#include "ShellProcess.h"

#include "UpdateLimits.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
constexpr int FIRST_STREAM_ABOVE_STANDARD = 3;
constexpr int HELPING_BYTES = 64 * 1024;
// How often a wait looks whether the shell has ended while its output stays open or is over.
constexpr int LONGEST_LOOK_MS = 50;

struct cPipe
{
    cFileDescriptor readEnd;
    cFileDescriptor writeEnd;
};

// The child's ends are put in place of its standard streams; an end that already were one of
// them (the tool may have been started with one closed) would be overwritten by another.
int AboveStandardStreams(int descriptor)
{
    if (descriptor >= FIRST_STREAM_ABOVE_STANDARD)
    {
        return descriptor;
    }
    const int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, FIRST_STREAM_ABOVE_STANDARD);
    ::close(descriptor);
    return moved;
}

bool OpenPipe(cPipe* pipe)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
    {
        return false;
    }
    pipe->readEnd.Reset(AboveStandardStreams(ends[0]));
    pipe->writeEnd.Reset(AboveStandardStreams(ends[1]));
    return pipe->readEnd.IsOpen() && pipe->writeEnd.IsOpen();
}

struct cChildSetUp
{
    pid_t parent;
    int input;
    int output;
    int errors;      // -1: the tool's own standard error
    int execFailure; // receives errno when the shell cannot be run
    char* const* arguments;
};

// Runs in the child between fork and exec, where only async-signal-safe calls are allowed: the
// tool may have threads of its own.
[[noreturn]] void BecomeShell(const cChildSetUp& setUp)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The tool may have died before the wish was made; then nobody is left to end the command.
    if (getppid() != setUp.parent)
    {
        _exit(127);
    }
    setpgid(0, 0);
    dup2(setUp.input, STDIN_FILENO);
    dup2(setUp.output, STDOUT_FILENO);
    if (setUp.errors >= 0)
    {
        dup2(setUp.errors, STDERR_FILENO);
    }
    // A command gets the signals as a shell started anew would: a SIGPIPE ignored here would
    // leave a decompressor writing into a closed pipe instead of ending it.
    struct sigaction byDefault;
    std::memset(&byDefault, 0, sizeof byDefault);
    byDefault.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &byDefault, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    execv("/bin/sh", setUp.arguments);
    const int reason = errno;
    const ssize_t ignored = write(setUp.execFailure, &reason, sizeof reason);
    static_cast<void>(ignored);
    _exit(127);
}

// The errno of a failed exec, or 0 once the shell runs: the pipe closes on exec.
int ExecFailure(const cFileDescriptor& readEnd)
{
    int reason = 0;
    ssize_t length;
    do
    {
        length = read(readEnd.Get(), &reason, sizeof reason);
    } while (length < 0 && errno == EINTR);
    return length == static_cast<ssize_t>(sizeof reason) ? reason : 0;
}

// One read of what the pipe holds; the pipe is closed at its end or on an error.
void ReadHelping(cFileDescriptor* pipe, cBoundedOutput* buffer)
{
    char helping[HELPING_BYTES];
    const ssize_t length = read(pipe->Get(), helping, sizeof helping);
    if (length > 0)
    {
        buffer->Append(helping, static_cast<int>(length));
    }
    else if (length == 0 || (errno != EAGAIN && errno != EINTR))
    {
        pipe->Reset();
    }
}
} // namespace

bool cShellProcess::Start(const QString& shellLine, eErrorOutput errors)
{
    // Processes of the group whose parent ends are handed to this process, not to init, so that
    // EndAndReap can wait for them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    QByteArray line = QFile::encodeName(shellLine);
    char shell[] = "sh";
    char command[] = "-c";
    char* const arguments[] = {shell, command, line.data(), nullptr};

    cPipe input, output, errorOutput, execFailure;
    if (!OpenPipe(&input) || !OpenPipe(&output) || !OpenPipe(&execFailure) ||
        (errors == eErrorOutput::Captured && !OpenPipe(&errorOutput)))
    {
        mError = QStringLiteral("pipe: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const cChildSetUp setUp{getpid(),
                            input.readEnd.Get(),
                            output.writeEnd.Get(),
                            errorOutput.writeEnd.IsOpen() ? errorOutput.writeEnd.Get() : -1,
                            execFailure.writeEnd.Get(),
                            arguments};
    const pid_t child = fork();
    if (child == 0)
    {
        BecomeShell(setUp);
    }
    if (child < 0)
    {
        mError = QStringLiteral("fork: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    mShell = child;
    // Also done in the child; whichever comes first, the group exists before any kill.
    setpgid(mShell, mShell);

    execFailure.writeEnd.Reset();
    const int failure = ExecFailure(execFailure.readEnd);
    if (failure != 0)
    {
        mError = QStringLiteral("/bin/sh: ") + QString::fromLocal8Bit(std::strerror(failure));
        EndAndReap();
        return false;
    }
    fcntl(output.readEnd.Get(), F_SETFL, O_NONBLOCK);
    mOutputPipe = std::move(output.readEnd);
    if (errorOutput.readEnd.IsOpen())
    {
        fcntl(errorOutput.readEnd.Get(), F_SETFL, O_NONBLOCK);
        mErrorPipe = std::move(errorOutput.readEnd);
    }
    return true;
}

void cShellProcess::Collect(int waitMs)
{
    pollfd pipes[2];
    cFileDescriptor* owners[2];
    nfds_t count = 0;
    for (cFileDescriptor* pipe : {&mOutputPipe, &mErrorPipe})
    {
        if (pipe->IsOpen())
        {
            pipes[count] = {pipe->Get(), POLLIN, 0};
            owners[count++] = pipe;
        }
    }
    if (poll(count ? pipes : nullptr, count, waitMs) <= 0)
    {
        return;
    }
    for (nfds_t index = 0; index < count; ++index)
    {
        if (pipes[index].revents != 0)
        {
            ReadHelping(owners[index], owners[index] == &mOutputPipe ? &mOutput : &mErrors);
        }
    }
}

void cShellProcess::Drain()
{
    qint64 before;
    do
    {
        before = mOutput.Received() + mErrors.Received();
        Collect(0);
    } while (mOutput.Received() + mErrors.Received() > before);
}

bool cShellProcess::Reap(bool wait)
{
    if (mReaped)
    {
        return true;
    }
    pid_t reaped;
    do
    {
        reaped = waitpid(mShell, &mStatus, wait ? 0 : WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    mReaped = reaped == mShell;
    return mReaped;
}

bool cShellProcess::WaitForEnd(const cDeadline* deadline)
{
    if (mShell <= 0)
    {
        return false;
    }
    // The output usually ends with the shell; while it stays open, or once it is over, the
    // shell is looked at again after a pause that grows to LONGEST_LOOK_MS.
    int pauseMs = 1;
    while (!Reap(false))
    {
        if (deadline && deadline->HasPassed())
        {
            return false;
        }
        Collect(deadline ? std::min(pauseMs, deadline->RemainingMs()) : pauseMs);
        pauseMs = std::min(pauseMs * 2, LONGEST_LOOK_MS);
    }
    Drain();
    mEndedByItself = true;
    return true;
}

bool cShellProcess::ReadFirstLine(int maxBytes, const cDeadline& deadline, QByteArray* line)
{
    static_assert(FIRST_LINE_CAP_BYTES <= COMMAND_OUTPUT_KEPT_BYTES,
                  "a first line is read from the kept start of the output");
    maxBytes = std::min(maxBytes, COMMAND_OUTPUT_KEPT_BYTES);
    line->clear();
    const QByteArray& head = mOutput.Head();
    while (!head.contains('\n') && head.size() < maxBytes && mOutputPipe.IsOpen())
    {
        if (deadline.HasPassed())
        {
            return false;
        }
        Collect(deadline.RemainingMs());
    }
    const int lineEnd = head.indexOf('\n');
    *line = head.left(std::min(lineEnd < 0 ? head.size() : lineEnd + 1, maxBytes));
    return true;
}

bool cShellProcess::EndedWell() const
{
    return mEndedByItself && WIFEXITED(mStatus) && WEXITSTATUS(mStatus) == 0;
}

int cShellProcess::ExitCode() const
{
    if (!mReaped)
    {
        return 0;
    }
    return WIFEXITED(mStatus) ? WEXITSTATUS(mStatus) : WTERMSIG(mStatus);
}

// Once the shell has been reaped its process id may be given to an unrelated process; the group
// id stays reserved only while a member lives, and every living member is a child of this
// process or below one (it is their subreaper).
bool cShellProcess::GroupMayHaveMembers() const
{
    siginfo_t info;
    return !mReaped ||
           waitid(P_PGID, static_cast<id_t>(mShell), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

void cShellProcess::EndAndReap()
{
    if (mShell <= 0)
    {
        return; // never started: a group id of 0 would name this tool's own group
    }
    if (GroupMayHaveMembers())
    {
        ::kill(-mShell, SIGKILL);
    }
    Reap(true);
    for (;;)
    {
        const pid_t reaped = waitpid(-mShell, nullptr, 0);
        if (reaped < 0 && errno != EINTR)
        {
            break;
        }
    }
    Drain();
    mOutputPipe.Reset();
    mErrorPipe.Reset();
    mShell = 0;
}
