#include "PseudoTerminal.h"

#include "Clock.h"
#include "Log.h"
#include "Signals.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

bool PseudoTerminal::Open(const std::string& linkPath, const std::string& capturePath)
{
    mLinkPath = linkPath;
    if (!OpenPair() || !MakeRaw())
    {
        return false;
    }
    const int flags = fcntl(mMaster, F_GETFL);
    fcntl(mMaster, F_SETFL, flags | O_NONBLOCK);
    return OpenCapture(capturePath) && PlaceLink();
}

bool PseudoTerminal::OpenPair()
{
    mMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (mMaster < 0 || grantpt(mMaster) != 0 || unlockpt(mMaster) != 0)
    {
        Warn("cannot open a pseudo-terminal: %s", std::strerror(errno));
        return false;
    }
    const char* name = ptsname(mMaster);
    if (name == nullptr)
    {
        Warn("ptsname: %s", std::strerror(errno));
        return false;
    }
    mSlavePath = name;
    // Kept open for the whole run: the updater opening and closing the device never hangs up
    // the terminal, and the raw settings stay in force.
    mSlave = open(mSlavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (mSlave < 0)
    {
        Warn("cannot open %s: %s", mSlavePath.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

bool PseudoTerminal::MakeRaw()
{
    termios settings{};
    if (tcgetattr(mSlave, &settings) != 0)
    {
        Warn("tcgetattr: %s", std::strerror(errno));
        return false;
    }
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(mSlave, TCSANOW, &settings) != 0)
    {
        Warn("tcsetattr: %s", std::strerror(errno));
        return false;
    }
    return true;
}

bool PseudoTerminal::OpenCapture(const std::string& capturePath)
{
    if (capturePath.empty())
    {
        return true;
    }
    mCapture = std::fopen(capturePath.c_str(), "ab");
    if (mCapture == nullptr)
    {
        Warn("cannot open %s: %s", capturePath.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

bool PseudoTerminal::PlaceLink()
{
    struct stat existing
    {
    };
    if (lstat(mLinkPath.c_str(), &existing) == 0)
    {
        if (S_ISDIR(existing.st_mode) || unlink(mLinkPath.c_str()) != 0)
        {
            Warn("cannot replace %s", mLinkPath.c_str());
            return false;
        }
    }
    if (symlink(mSlavePath.c_str(), mLinkPath.c_str()) != 0)
    {
        Warn("cannot create %s: %s", mLinkPath.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

void PseudoTerminal::Close()
{
    WaitUntilAnswerTaken();
    RemoveLinkIfOurs();
    if (mCapture != nullptr)
    {
        std::fclose(mCapture);
    }
    if (mSlave >= 0)
    {
        close(mSlave);
    }
    if (mMaster >= 0)
    {
        close(mMaster);
    }
}

// The terminal goes away with the master: the updater must have read the last answer first.
void PseudoTerminal::WaitUntilAnswerTaken()
{
    const long long until = NowMs() + 2000;
    int waiting = 0;
    while (mSlave >= 0 && ioctl(mSlave, FIONREAD, &waiting) == 0 && waiting > 0 && NowMs() < until)
    {
        usleep(2000);
    }
}

// Another simulator may have taken the link over since.
void PseudoTerminal::RemoveLinkIfOurs()
{
    char target[4096];
    const ssize_t size = readlink(mLinkPath.c_str(), target, sizeof target - 1);
    if (size > 0)
    {
        target[size] = '\0';
        if (mSlavePath == target)
        {
            unlink(mLinkPath.c_str());
        }
    }
}

void PseudoTerminal::Capture(const unsigned char* bytes, size_t size)
{
    if (mCapture != nullptr)
    {
        std::fwrite(bytes, 1, size, mCapture);
        std::fflush(mCapture);
    }
}

bool PseudoTerminal::ReadExactly(unsigned char* buffer, size_t size, int waitMs)
{
    size_t got = 0;
    while (got < size)
    {
        if (StopRequested())
        {
            return false;
        }
        const ssize_t count = read(mMaster, buffer + got, size - got);
        if (count > 0)
        {
            Capture(buffer + got, static_cast<size_t>(count));
            got += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
        {
            Warn("read: %s", std::strerror(errno));
            return false;
        }
        pollfd descriptor{mMaster, POLLIN, 0};
        timespec wait{};
        timespec* waitPointer = nullptr;
        if (waitMs >= 0)
        {
            wait.tv_sec = waitMs / 1000;
            wait.tv_nsec = (waitMs % 1000) * 1000000L;
            waitPointer = &wait;
        }
        const int ready = PollTakingSignals(&descriptor, 1, waitPointer);
        if (ready == 0)
        {
            return false;
        }
        if (ready < 0 && errno != EINTR)
        {
            return false;
        }
        if (ready > 0 && (descriptor.revents & POLLHUP) && !(descriptor.revents & POLLIN))
        {
            // Cannot happen while the slave is held open; do not spin if it does.
            usleep(10000);
        }
    }
    return true;
}

void PseudoTerminal::DiscardInput()
{
    unsigned char junk[512];
    while (ReadExactly(junk, 1, 50))
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
        {
            taken += static_cast<size_t>(count);
        }
        idleRounds = taken == 0 ? idleRounds + 1 : 0;
        usleep(20000);
    }
}

bool PseudoTerminal::WriteAll(const std::vector<unsigned char>& bytes)
{
    size_t written = 0;
    while (written < bytes.size() && !StopRequested())
    {
        const ssize_t count = write(mMaster, bytes.data() + written, bytes.size() - written);
        if (count > 0)
        {
            written += static_cast<size_t>(count);
        }
        else if (count < 0 && errno != EAGAIN && errno != EINTR)
        {
            Warn("write: %s", std::strerror(errno));
            return false;
        }
        else
        {
            pollfd descriptor{mMaster, POLLOUT, 0};
            poll(&descriptor, 1, 100);
        }
    }
    return true;
}
