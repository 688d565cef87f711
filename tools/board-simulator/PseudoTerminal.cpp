#include "PseudoTerminal.h"

#include <QDeadlineTimer>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace
{

volatile sig_atomic_t gStop = 0;

void OnStopSignal(int)
{
    gStop = 1;
}

// Waits until the descriptor (-1: none) is ready for events, the wait (-1: no limit) is over or
// a stop is requested, letting the stop signals in meanwhile. True when it is ready.
bool WaitUnlessStopped(int descriptor, short events, long long waitMs)
{
    const QDeadlineTimer until(waitMs);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    pollfd watched{descriptor, events, 0};
    while (!gStop && until.remainingTime() != 0)
    {
        const long long left = until.remainingTime();
        const timespec wait{static_cast<time_t>(left / 1000),
                            static_cast<long>(left % 1000) * 1000000L};
        const int ready = ppoll(&watched, 1, left < 0 ? nullptr : &wait, &unblocked);
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return ready > 0;
    }
    return false;
}

// Says what failed, and why, on standard error; false, for the caller to return.
bool Failed(const std::string& what)
{
    std::fprintf(stderr, "board-simulator: %s: %s\n", what.c_str(), std::strerror(errno));
    return false;
}

} // namespace

void TakeStopSignalsOnlyWhileWaiting()
{
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGALRM})
    {
        std::signal(signal, OnStopSignal);
        sigaddset(&blocked, signal);
    }
    std::signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
}

bool StopRequested()
{
    return gStop != 0;
}

void PauseUnlessStopped(long long milliseconds)
{
    WaitUnlessStopped(-1, 0, milliseconds);
}

bool PseudoTerminal::Open(const std::string& linkPath, const std::string& capturePath, bool raw)
{
    mLinkPath = linkPath;
    termios rawSettings{};
    cfmakeraw(&rawSettings); // VMIN 1 and VTIME 0 too: a read on the slave waits for a byte
    // The slave stays open for the whole run: the updater opening and closing the device never
    // hangs up the terminal, and its settings stay in force.
    char slavePath[256];
    if (openpty(&mMaster, &mSlave, slavePath, raw ? &rawSettings : nullptr, nullptr) != 0)
        return Failed("cannot open a pseudo-terminal");
    mSlavePath = slavePath;
    fcntl(mMaster, F_SETFL, fcntl(mMaster, F_GETFL) | O_NONBLOCK);
    if (!capturePath.empty())
    {
        mCapture = std::fopen(capturePath.c_str(), "ab");
        if (mCapture == nullptr)
            return Failed("cannot open " + capturePath);
        std::setvbuf(mCapture, nullptr, _IONBF, 0); // every byte on the disk at once
    }
    // Whatever was at the link's path gives way, unless it is a directory.
    if (unlink(linkPath.c_str()) != 0 && errno != ENOENT)
        return Failed("cannot replace " + linkPath);
    return symlink(slavePath, linkPath.c_str()) == 0 || Failed("cannot create " + linkPath);
}

PseudoTerminal::~PseudoTerminal()
{
    // The terminal goes away with the master: the updater must have read the last answer first.
    const QDeadlineTimer until(2000);
    int waiting = 0;
    while (mSlave >= 0 && ioctl(mSlave, FIONREAD, &waiting) == 0 && waiting > 0 &&
           !until.hasExpired())
        usleep(2000);
    // Another simulator may have taken the link over since.
    char target[4096];
    const ssize_t size = readlink(mLinkPath.c_str(), target, sizeof target - 1);
    if (size > 0 && mSlavePath == std::string(target, static_cast<size_t>(size)))
        unlink(mLinkPath.c_str());
    if (mCapture != nullptr)
        std::fclose(mCapture);
    if (mSlave >= 0)
        close(mSlave);
    if (mMaster >= 0)
        close(mMaster);
}

bool PseudoTerminal::ReadExactly(unsigned char* buffer, size_t size, int waitMs)
{
    for (size_t got = 0; got < size;)
    {
        if (!WaitUnlessStopped(mMaster, POLLIN, waitMs))
            return false;
        const ssize_t count = read(mMaster, buffer + got, size - got);
        if (count < 0 && errno != EAGAIN && errno != EINTR)
            return Failed("read");
        if (count > 0 && mCapture != nullptr)
            std::fwrite(buffer + got, 1, static_cast<size_t>(count), mCapture);
        got += static_cast<size_t>(std::max<ssize_t>(count, 0));
    }
    return true;
}

void PseudoTerminal::DiscardInput()
{
    unsigned char junk;
    while (ReadExactly(&junk, 1, 50))
    {
    }
}

void PseudoTerminal::FillInput()
{
    fcntl(mSlave, F_SETFL, fcntl(mSlave, F_GETFL) | O_NONBLOCK);
    const std::vector<unsigned char> filler(4096, 0xA5);
    // The terminal hands bytes on to its line discipline in the background, which makes room
    // again for a while: full means a few rounds in a row that took nothing.
    for (int idleRounds = 0; idleRounds < 3;)
    {
        size_t taken = 0;
        ssize_t count;
        while ((count = write(mSlave, filler.data(), filler.size())) > 0)
            taken += static_cast<size_t>(count);
        idleRounds = taken == 0 ? idleRounds + 1 : 0;
        usleep(20000);
    }
}

bool PseudoTerminal::WriteAll(const std::vector<unsigned char>& bytes)
{
    for (size_t written = 0; written < bytes.size();)
    {
        if (!WaitUnlessStopped(mMaster, POLLOUT, -1))
            return true;
        const ssize_t count = write(mMaster, bytes.data() + written, bytes.size() - written);
        if (count < 0 && errno != EAGAIN && errno != EINTR)
            return Failed("write");
        written += static_cast<size_t>(std::max<ssize_t>(count, 0));
    }
    return true;
}
