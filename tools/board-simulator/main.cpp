// board-simulator: plays one RirarUde board (the DSP board or a motor board) over a
// pseudo-terminal pair, so that the updater can be tried and tested without hardware.
//
// It answers the four interrogation queries with values from its command line,
// receives firmware transfers in every update mode, checking each frame's length,
// message type order and checksums, writes the image it received to a file, reports what it saw
// as JSON, and injects faults on request. Run with --help for the options.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace
{

const char USAGE[] =
    R"(Usage: board-simulator --link PATH [options]

Plays one RirarUde board over a pseudo-terminal. The updater opens PATH (a symlink to the
terminal's slave side) as if it were the board's USB character device, for example
<box root>/dev/qv_core_rack in a sandbox build. When ready, the simulator prints
"ready <slave path>" on standard output.

Board answers:
  --version TEXT        firmware version text for the version query (00 03 01); sent as 12
                        bytes, NUL-padded (default "2.8")
  --version-hex HEX     the 12 answer bytes of the version query as hexadecimal (overrides
                        --version; may be shorter or longer than 12 bytes)
  --bootloader N        bootloader version for query 00 03 20, sent as 4 bytes, least
                        significant first (default 0)
  --pin P=V             level byte V answered for pin P (query 00 04 0A P); repeatable;
                        other pins answer --pin-default (default 0)
  --pin-default V       level byte for pins not given with --pin
  --board-id N          board ID byte for query 00 0B 02 ... (default 1)

Transfers:
  --image FILE          write the image bytes received to FILE when a transfer ends
  --report FILE         write a JSON summary (queries, transfers, errors) to FILE, rewritten
                        after every query and every transfer that ends, and at exit
  --capture FILE        append every byte received from the updater to FILE
  --once                exit when the first transfer ends (accepted to the end, refused, or
                        broken off by a bad frame)

Faults:
  --refuse K:S          answer status S (1-255) instead of 0 to the K-th status-bearing
                        message of a transfer (1 = the header message, 2 = the first data
                        message, ...)
  --silent              never answer anything (frames are still received and checked)
  --silent-from K       give no status from the K-th status-bearing message of a transfer on
  --delay MS            wait MS milliseconds before every answer
  --short N             send only the first N bytes of every answer (0 = none at all)
  --extra N             send N more bytes (0xA5) after every answer

Lifetime:
  --timeout S           exit by itself after S seconds (default: never)
  --die-with-parent     exit when the process that started it exits
  --verbose             describe every frame on standard error
  --help                this text

Each transfer in the report has a "result": "complete" (every message accepted), "refused",
"error" (a bad frame; the simulator answers status 238 to it when a status is due),
"unanswered" (the whole image came but a fault withheld the last status) or "incomplete"
(broken off); "intact" tells whether the whole image came with matching checksums.

Exit status: 0 when every transfer was complete and intact (or none came), 1 when one was not, 2 on a usage error, 3 when the pseudo-terminal could not be set up.
SIGTERM, SIGINT and SIGHUP end it cleanly: the report is written (an unfinished transfer is
recorded as "incomplete") and the symlink is removed.
)";

volatile sig_atomic_t gStop = 0;

void OnSignal(int)
{
    gStop = 1;
}

long long NowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct Options
{
    std::string link;
    std::vector<unsigned char> versionAnswer;
    uint32_t bootloader = 0;
    int pinLevels[256];
    int boardId = 1;
    std::string image;
    std::string report;
    std::string capture;
    bool once = false;
    int refuseAt = 0;
    int refuseStatus = 0;
    bool silent = false;
    int silentFrom = 0;
    int delayMs = 0;
    int shortAnswer = -1;
    int extra = 0;
    int timeoutS = 0;
    bool dieWithParent = false;
    bool verbose = false;
};

struct QueryCounts
{
    int version = 0;
    int bootloader = 0;
    int pin = 0;
    int boardId = 0;
};

struct Transfer
{
    int command = 0;
    bool bootloaderMessage = false;
    bool versionMessage = false;
    int versionMajor = -1;
    int versionMinor = -1;
    bool headerSeen = false;
    uint32_t length = 0;
    uint32_t announcedChecksum = 0;
    std::vector<unsigned char> received;
    int messages = 0;       // frames of this transfer
    int statusMessages = 0; // header and data messages
    std::string result;     // "" while running, then complete / refused / error / incomplete
    std::string error;
    bool intact = false;
    uint32_t receivedChecksum = 0;
    std::vector<int> frameLengths;
};

class Simulator
{
public:
    explicit Simulator(const Options& options) : mOptions(options) {}

    int Run();

private:
    bool Setup();
    void Teardown();
    // Reads exactly size bytes from the master, waiting at most waitMs for each piece.
    // Returns false on stop, timeout or error.
    bool ReadExactly(unsigned char* buffer, size_t size, int waitMs);
    void HandleFrame(const std::vector<unsigned char>& frame);
    void HandleTransferFrame(const std::vector<unsigned char>& frame);
    void Answer(const std::vector<unsigned char>& answer);
    bool AnswerStatus(unsigned char status); // false when a fault withholds it
    void EndTransfer(const std::string& result, const std::string& error);
    void Error(const std::string& text);
    void WriteReport();
    void WriteImage(const Transfer& transfer);
    void Verbose(const char* format, ...) __attribute__((format(printf, 2, 3)));

    Options mOptions;
    int mMaster = -1;
    int mSlave = -1;
    std::string mSlavePath;
    FILE* mCapture = nullptr;
    QueryCounts mQueries;
    std::vector<Transfer> mTransfers;
    bool mInTransfer = false;
    std::vector<std::string> mErrors;
    int mFrames = 0;
    bool mDone = false;
};

void Simulator::Verbose(const char* format, ...)
{
    if (!mOptions.verbose)
    {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    std::fputs("board-simulator: ", stderr);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
    va_end(arguments);
}

bool Simulator::Setup()
{
    mMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (mMaster < 0 || grantpt(mMaster) != 0 || unlockpt(mMaster) != 0)
    {
        std::fprintf(stderr, "board-simulator: cannot open a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return false;
    }
    const char* name = ptsname(mMaster);
    if (name == nullptr)
    {
        std::fprintf(stderr, "board-simulator: ptsname: %s\n", std::strerror(errno));
        return false;
    }
    mSlavePath = name;
    // Kept open for the whole run: the updater opening and closing the device never hangs up
    // the terminal, and the settings below stay in force.
    mSlave = open(mSlavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (mSlave < 0)
    {
        std::fprintf(stderr, "board-simulator: cannot open %s: %s\n", mSlavePath.c_str(),
                     std::strerror(errno));
        return false;
    }
    termios settings{};
    if (tcgetattr(mSlave, &settings) != 0)
    {
        std::fprintf(stderr, "board-simulator: tcgetattr: %s\n", std::strerror(errno));
        return false;
    }
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(mSlave, TCSANOW, &settings) != 0)
    {
        std::fprintf(stderr, "board-simulator: tcsetattr: %s\n", std::strerror(errno));
        return false;
    }
    const int flags = fcntl(mMaster, F_GETFL);
    fcntl(mMaster, F_SETFL, flags | O_NONBLOCK);

    if (!mOptions.capture.empty())
    {
        mCapture = std::fopen(mOptions.capture.c_str(), "ab");
        if (mCapture == nullptr)
        {
            std::fprintf(stderr, "board-simulator: cannot open %s: %s\n", mOptions.capture.c_str(),
                         std::strerror(errno));
            return false;
        }
    }

    struct stat existing
    {
    };
    if (lstat(mOptions.link.c_str(), &existing) == 0)
    {
        if (S_ISDIR(existing.st_mode) || unlink(mOptions.link.c_str()) != 0)
        {
            std::fprintf(stderr, "board-simulator: cannot replace %s\n", mOptions.link.c_str());
            return false;
        }
    }
    if (symlink(mSlavePath.c_str(), mOptions.link.c_str()) != 0)
    {
        std::fprintf(stderr, "board-simulator: cannot create %s: %s\n", mOptions.link.c_str(),
                     std::strerror(errno));
        return false;
    }
    WriteReport();
    std::printf("ready %s\n", mSlavePath.c_str());
    std::fflush(stdout);
    return true;
}

void Simulator::Teardown()
{
    // Let the updater take the last answer before the terminal goes away with the master.
    const long long until = NowMs() + 2000;
    int waiting = 0;
    while (mSlave >= 0 && ioctl(mSlave, FIONREAD, &waiting) == 0 && waiting > 0 && NowMs() < until)
    {
        usleep(2000);
    }
    // Remove the link only when it is still ours.
    char target[4096];
    const ssize_t size = readlink(mOptions.link.c_str(), target, sizeof target - 1);
    if (size > 0)
    {
        target[size] = '\0';
        if (mSlavePath == target)
        {
            unlink(mOptions.link.c_str());
        }
    }
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

bool Simulator::ReadExactly(unsigned char* buffer, size_t size, int waitMs)
{
    size_t got = 0;
    sigset_t unblocked;
    sigemptyset(&unblocked);
    while (got < size)
    {
        if (gStop)
        {
            return false;
        }
        const ssize_t count = read(mMaster, buffer + got, size - got);
        if (count > 0)
        {
            if (mCapture != nullptr)
            {
                std::fwrite(buffer + got, 1, static_cast<size_t>(count), mCapture);
                std::fflush(mCapture);
            }
            got += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
        {
            std::fprintf(stderr, "board-simulator: read: %s\n", std::strerror(errno));
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
        // Signals are blocked except inside ppoll, so a SIGTERM is never missed.
        const int ready = ppoll(&descriptor, 1, waitPointer, &unblocked);
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

void Simulator::Answer(const std::vector<unsigned char>& answer)
{
    if (mOptions.silent)
    {
        Verbose("silent: no answer");
        return;
    }
    std::vector<unsigned char> bytes = answer;
    if (mOptions.shortAnswer >= 0 && static_cast<size_t>(mOptions.shortAnswer) < bytes.size())
    {
        bytes.resize(static_cast<size_t>(mOptions.shortAnswer));
    }
    bytes.insert(bytes.end(), static_cast<size_t>(mOptions.extra), 0xA5);
    if (mOptions.delayMs > 0)
    {
        const long long until = NowMs() + mOptions.delayMs;
        while (!gStop && NowMs() < until)
        {
            const long long left = until - NowMs();
            timespec wait{static_cast<time_t>(left / 1000),
                          static_cast<long>(left % 1000) * 1000000L};
            sigset_t unblocked;
            sigemptyset(&unblocked);
            ppoll(nullptr, 0, &wait, &unblocked);
        }
    }
    size_t written = 0;
    while (written < bytes.size() && !gStop)
    {
        const ssize_t count = write(mMaster, bytes.data() + written, bytes.size() - written);
        if (count > 0)
        {
            written += static_cast<size_t>(count);
        }
        else if (count < 0 && errno != EAGAIN && errno != EINTR)
        {
            std::fprintf(stderr, "board-simulator: write: %s\n", std::strerror(errno));
            return;
        }
        else
        {
            pollfd descriptor{mMaster, POLLOUT, 0};
            poll(&descriptor, 1, 100);
        }
    }
    Verbose("answered %zu bytes", bytes.size());
}

bool Simulator::AnswerStatus(unsigned char status)
{
    Transfer& transfer = mTransfers.back();
    if (mOptions.silentFrom > 0 && transfer.statusMessages >= mOptions.silentFrom)
    {
        Verbose("silent from status message %d: no status", mOptions.silentFrom);
        return false;
    }
    if (mOptions.silent || mOptions.shortAnswer == 0)
    {
        Answer({status}); // says why in verbose mode
        return false;
    }
    Answer({status});
    return true;
}

void Simulator::Error(const std::string& text)
{
    Verbose("error: %s", text.c_str());
    mErrors.push_back(text);
}

void Simulator::EndTransfer(const std::string& result, const std::string& error)
{
    Transfer& transfer = mTransfers.back();
    transfer.result = result;
    transfer.error = error;
    uint32_t sum = 0;
    for (unsigned char byte : transfer.received)
    {
        sum += byte;
    }
    transfer.receivedChecksum = sum;
    transfer.intact = (result == "complete" || result == "unanswered") && transfer.headerSeen &&
                      transfer.received.size() == transfer.length &&
                      sum == transfer.announcedChecksum;
    if ((result == "complete" || result == "unanswered") && !transfer.intact)
    {
        transfer.error = "image checksum mismatch";
        Error(transfer.error);
    }
    mInTransfer = false;
    Verbose("transfer %s: %zu of %u bytes%s%s", result.c_str(), transfer.received.size(),
            transfer.length, transfer.error.empty() ? "" : ": ", transfer.error.c_str());
    WriteImage(transfer);
    WriteReport();
    if (mOptions.once)
    {
        mDone = true;
    }
}

uint32_t BigEndian32(const unsigned char* at)
{
    return (uint32_t(at[0]) << 24) | (uint32_t(at[1]) << 16) | (uint32_t(at[2]) << 8) | at[3];
}

uint32_t Sum(const unsigned char* bytes, size_t count)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < count; ++i)
    {
        sum += bytes[i];
    }
    return sum;
}

void Simulator::HandleTransferFrame(const std::vector<unsigned char>& frame)
{
    const int command = frame[2];
    if (frame.size() < 4)
    {
        Error("transfer frame of " + std::to_string(frame.size()) + " bytes has no type");
        return;
    }
    const int type = frame[3];

    // Does the frame go on with the running transfer, or open a new one (the updater gave up
    // on the earlier one)?
    int expected = -1;
    if (mInTransfer)
    {
        const Transfer& running = mTransfers.back();
        if (running.headerSeen)
            expected = 1;
        else if (running.versionMessage)
            expected = 0;
        else if (running.bootloaderMessage)
            expected = 2;
    }
    const bool continues = mInTransfer && command == mTransfers.back().command && type == expected;
    const bool opener = type == 3 || type == 2 || (type == 0 && command != 0x19);
    if (mInTransfer && !continues && opener)
    {
        EndTransfer("incomplete", "a new transfer began");
    }
    if (!mInTransfer)
    {
        mTransfers.emplace_back();
        mTransfers.back().command = command;
        mInTransfer = true;
    }
    Transfer& transfer = mTransfers.back();
    transfer.messages++;
    transfer.frameLengths.push_back(static_cast<int>(frame.size()));

    auto fail = [&](const std::string& text, bool statusExpected)
    {
        Error(text);
        if (statusExpected)
        {
            transfer.statusMessages++;
            AnswerStatus(0xEE);
        }
        EndTransfer("error", text);
    };

    const bool statusBearing = type == 0 || type == 1;
    if (command != transfer.command)
        return fail("command code changed from " + std::to_string(transfer.command) + " to " +
                        std::to_string(command),
                    statusBearing);

    switch (type)
    {
    case 3: // bootloader
        if (command != 0x19)
            return fail("bootloader message with command code " + std::to_string(command), false);
        if (transfer.messages != 1)
            return fail("bootloader message out of order", false);
        if (frame.size() != 4)
            return fail("bootloader message of " + std::to_string(frame.size()) + " bytes", false);
        transfer.bootloaderMessage = true;
        Verbose("bootloader message");
        return;
    case 2: // version
        if (command != 0x19)
            return fail("version message with command code " + std::to_string(command), false);
        if (transfer.versionMessage || transfer.headerSeen ||
            transfer.messages != (transfer.bootloaderMessage ? 2 : 1))
            return fail("version message out of order", false);
        if (frame.size() != 7 || frame[6] != 0)
            return fail("version message of " + std::to_string(frame.size()) + " bytes", false);
        transfer.versionMessage = true;
        transfer.versionMajor = frame[4];
        transfer.versionMinor = frame[5];
        Verbose("version message %d.%d", frame[4], frame[5]);
        return;
    case 0: // header
    {
        if (transfer.headerSeen)
            return fail("second header message", true);
        if (command == 0x19 && !transfer.versionMessage)
            return fail("header message before the version message", true);
        if (frame.size() < 16)
            return fail("header message of " + std::to_string(frame.size()) + " bytes", true);
        const uint32_t length = BigEndian32(&frame[8]);
        const size_t carried = std::min<uint32_t>(length, 496);
        if (frame.size() != carried + 16)
            return fail("header message of " + std::to_string(frame.size()) +
                            " bytes for an image of " + std::to_string(length),
                        true);
        if (BigEndian32(&frame[4]) != Sum(&frame[8], frame.size() - 8))
            return fail("header checksum mismatch", true);
        transfer.headerSeen = true;
        transfer.length = length;
        transfer.announcedChecksum = BigEndian32(&frame[12]);
        transfer.received.assign(frame.begin() + 16, frame.end());
        break;
    }
    case 1: // data
    {
        if (!transfer.headerSeen)
            return fail("data message before the header message", true);
        const size_t remaining = transfer.length - transfer.received.size();
        const size_t carried = std::min<size_t>(remaining, 504);
        if (carried == 0)
            return fail("data message after the whole image", true);
        if (frame.size() != carried + 8)
            return fail("data message of " + std::to_string(frame.size()) + " bytes with " +
                            std::to_string(remaining) + " image bytes remaining",
                        true);
        if (BigEndian32(&frame[4]) != Sum(&frame[8], frame.size() - 8))
            return fail("data checksum mismatch", true);
        transfer.received.insert(transfer.received.end(), frame.begin() + 8, frame.end());
        break;
    }
    default:
        return fail("unknown message type " + std::to_string(type), false);
    }

    transfer.statusMessages++;
    Verbose("%s message %d: %zu of %u image bytes", type == 0 ? "header" : "data",
            transfer.statusMessages, transfer.received.size(), transfer.length);
    if (mOptions.refuseAt > 0 && transfer.statusMessages == mOptions.refuseAt)
    {
        AnswerStatus(static_cast<unsigned char>(mOptions.refuseStatus));
        EndTransfer("refused", "refused with status " + std::to_string(mOptions.refuseStatus) +
                                   " at message " + std::to_string(mOptions.refuseAt));
        return;
    }
    const bool answered = AnswerStatus(0);
    if (transfer.received.size() >= transfer.length)
    {
        // The whole image came, but the board kept its last status to itself: the updater
        // cannot have taken the transfer as accepted.
        EndTransfer(answered ? "complete" : "unanswered",
                    answered ? "" : "no status for the last message");
    }
}

void Simulator::HandleFrame(const std::vector<unsigned char>& frame)
{
    mFrames++;
    const int command = frame[2];
    switch (command)
    {
    case 0x01:
    case 0x20:
    case 0x0A:
    case 0x02:
        if (mInTransfer)
        {
            EndTransfer("incomplete", "a query came during the transfer");
        }
        break;
    default:
        break;
    }
    switch (command)
    {
    case 0x01:
        if (frame.size() != 3)
            return Error("version query of " + std::to_string(frame.size()) + " bytes");
        mQueries.version++;
        Verbose("version query");
        Answer(mOptions.versionAnswer);
        break;
    case 0x20:
        if (frame.size() != 3)
            return Error("bootloader query of " + std::to_string(frame.size()) + " bytes");
        mQueries.bootloader++;
        Verbose("bootloader version query");
        Answer({static_cast<unsigned char>(mOptions.bootloader),
                static_cast<unsigned char>(mOptions.bootloader >> 8),
                static_cast<unsigned char>(mOptions.bootloader >> 16),
                static_cast<unsigned char>(mOptions.bootloader >> 24)});
        break;
    case 0x0A:
        if (frame.size() != 4)
            return Error("pin query of " + std::to_string(frame.size()) + " bytes");
        mQueries.pin++;
        Verbose("pin query %d", frame[3]);
        Answer({static_cast<unsigned char>(mOptions.pinLevels[frame[3]])});
        break;
    case 0x02:
    {
        const unsigned char fixed[] = {0x00, 0x0B, 0x02, 0x00, 0x00, 0x00, 0x01};
        if (frame.size() != 11 || std::memcmp(frame.data(), fixed, sizeof fixed) != 0 ||
            frame[8] != 0x10 || frame[9] != 0 || frame[10] != 0)
            return Error("malformed board ID query");
        mQueries.boardId++;
        Verbose("board ID query %d", frame[7]);
        Answer({static_cast<unsigned char>(mOptions.boardId)});
        break;
    }
    case 0x0C:
    case 0x18:
    case 0x19:
        HandleTransferFrame(frame);
        break;
    default:
        Error("unknown command code " + std::to_string(command));
        break;
    }
    // A transfer's report is written when it ends (messages in between would make a long
    // transfer quadratic).
    if (!mInTransfer)
    {
        WriteReport();
    }
}

int Simulator::Run()
{
    if (!Setup())
    {
        Teardown();
        return 3;
    }
    const long long deadline = mOptions.timeoutS > 0 ? NowMs() + mOptions.timeoutS * 1000LL : 0;
    while (!gStop && !mDone)
    {
        int waitMs = -1;
        if (deadline)
        {
            const long long left = deadline - NowMs();
            if (left <= 0)
            {
                Verbose("timeout: exiting");
                break;
            }
            waitMs = static_cast<int>(std::min<long long>(left, 1000000));
        }
        unsigned char head[2];
        if (!ReadExactly(head, 1, waitMs))
        {
            continue;
        }
        // The rest of a frame follows at once: the updater writes each frame in one write.
        if (!ReadExactly(head + 1, 1, 2000))
        {
            if (!gStop)
                Error("frame cut off after 1 byte");
            continue;
        }
        const size_t length = (size_t(head[0]) << 8) | head[1];
        if (length < 3 || length > 512)
        {
            Error("frame length " + std::to_string(length) + " out of range");
            // Drop what follows at once: there is no way to find the next frame's start.
            unsigned char junk[512];
            while (ReadExactly(junk, 1, 50))
            {
            }
            if (mInTransfer)
            {
                mTransfers.back().statusMessages++;
                AnswerStatus(0xEE);
                EndTransfer("error", "frame length out of range");
            }
            WriteReport();
            continue;
        }
        std::vector<unsigned char> frame(length);
        frame[0] = head[0];
        frame[1] = head[1];
        if (!ReadExactly(frame.data() + 2, length - 2, 2000))
        {
            if (!gStop)
            {
                Error("frame of " + std::to_string(length) + " bytes cut off");
                if (mInTransfer)
                    EndTransfer("error", "frame cut off");
                WriteReport();
            }
            continue;
        }
        HandleFrame(frame);
    }
    if (mInTransfer)
    {
        EndTransfer("incomplete", "the simulator stopped during the transfer");
    }
    WriteReport();
    Teardown();
    for (const Transfer& transfer : mTransfers)
    {
        if (!transfer.intact || transfer.result != "complete")
        {
            return 1;
        }
    }
    return 0;
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text)
    {
        if (c == '"' || c == '\\')
        {
            out += '\\';
            out += static_cast<char>(c);
        }
        else if (c < 0x20)
        {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
        else
        {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void Simulator::WriteReport()
{
    if (mOptions.report.empty())
    {
        return;
    }
    std::string json = "{\n";
    json += "  \"device\": " + JsonString(mSlavePath) + ",\n";
    json += "  \"frames\": " + std::to_string(mFrames) + ",\n";
    json += "  \"queries\": {\"version\": " + std::to_string(mQueries.version) +
            ", \"bootloader\": " + std::to_string(mQueries.bootloader) +
            ", \"pin\": " + std::to_string(mQueries.pin) +
            ", \"board_id\": " + std::to_string(mQueries.boardId) + "},\n";
    json += "  \"errors\": [";
    for (size_t i = 0; i < mErrors.size(); ++i)
    {
        json += (i ? ", " : "") + JsonString(mErrors[i]);
    }
    json += "],\n  \"transfers\": [";
    for (size_t i = 0; i < mTransfers.size(); ++i)
    {
        const Transfer& t = mTransfers[i];
        json += i ? ",\n    {" : "\n    {";
        json += "\"command\": " + std::to_string(t.command);
        json += ", \"bootloader_message\": " + std::string(t.bootloaderMessage ? "true" : "false");
        json += ", \"version\": ";
        json += t.versionMessage ? "[" + std::to_string(t.versionMajor) + ", " +
                                       std::to_string(t.versionMinor) + "]"
                                 : "null";
        json += ", \"length\": " + std::to_string(t.length);
        json += ", \"received\": " + std::to_string(t.received.size());
        json += ", \"image_checksum\": " + std::to_string(t.announcedChecksum);
        json += ", \"received_checksum\": " + std::to_string(t.receivedChecksum);
        json += ", \"messages\": " + std::to_string(t.messages);
        json += ", \"status_messages\": " + std::to_string(t.statusMessages);
        json += ", \"frame_lengths\": [";
        for (size_t j = 0; j < t.frameLengths.size(); ++j)
        {
            json += (j ? ", " : "") + std::to_string(t.frameLengths[j]);
        }
        json += "], \"result\": " + JsonString(t.result.empty() ? "running" : t.result);
        json += ", \"error\": " + JsonString(t.error);
        json += ", \"intact\": " + std::string(t.intact ? "true" : "false") + "}";
    }
    json += mTransfers.empty() ? "]\n}\n" : "\n  ]\n}\n";

    // Written beside and renamed, so a reader never sees half a report.
    const std::string temporary = mOptions.report + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr)
    {
        return;
    }
    std::fwrite(json.data(), 1, json.size(), file);
    std::fclose(file);
    std::rename(temporary.c_str(), mOptions.report.c_str());
}

void Simulator::WriteImage(const Transfer& transfer)
{
    if (mOptions.image.empty())
    {
        return;
    }
    const std::string temporary = mOptions.image + ".tmp";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr)
    {
        return;
    }
    std::fwrite(transfer.received.data(), 1, transfer.received.size(), file);
    std::fclose(file);
    std::rename(temporary.c_str(), mOptions.image.c_str());
}

bool ParseInt(const char* text, long min, long max, long* value)
{
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || parsed < min || parsed > max)
    {
        return false;
    }
    *value = parsed;
    return true;
}

bool ParseHex(const char* text, std::vector<unsigned char>* bytes)
{
    std::string digits;
    for (const char* c = text; *c; ++c)
    {
        if (*c != ' ' && *c != ':')
            digits += *c;
    }
    if (digits.size() % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < digits.size(); i += 2)
    {
        char pair[3] = {digits[i], digits[i + 1], 0};
        char* end = nullptr;
        const long value = std::strtol(pair, &end, 16);
        if (*end != '\0')
            return false;
        bytes->push_back(static_cast<unsigned char>(value));
    }
    return true;
}

int Usage(const char* problem)
{
    std::fprintf(stderr, "board-simulator: %s\n\n%s", problem, USAGE);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    std::fill(std::begin(options.pinLevels), std::end(options.pinLevels), -1);
    int pinDefault = 0;
    std::string versionText = "2.8";
    bool versionHex = false;

    enum
    {
        LINK = 1000,
        VERSION,
        VERSION_HEX,
        BOOTLOADER,
        PIN,
        PIN_DEFAULT,
        BOARD_ID,
        IMAGE,
        REPORT,
        CAPTURE,
        ONCE,
        REFUSE,
        SILENT,
        SILENT_FROM,
        DELAY,
        SHORT,
        EXTRA,
        TIMEOUT,
        PARENT,
        VERBOSE,
        HELP
    };
    const option longOptions[] = {
        {"link", required_argument, nullptr, LINK},
        {"version", required_argument, nullptr, VERSION},
        {"version-hex", required_argument, nullptr, VERSION_HEX},
        {"bootloader", required_argument, nullptr, BOOTLOADER},
        {"pin", required_argument, nullptr, PIN},
        {"pin-default", required_argument, nullptr, PIN_DEFAULT},
        {"board-id", required_argument, nullptr, BOARD_ID},
        {"image", required_argument, nullptr, IMAGE},
        {"report", required_argument, nullptr, REPORT},
        {"capture", required_argument, nullptr, CAPTURE},
        {"once", no_argument, nullptr, ONCE},
        {"refuse", required_argument, nullptr, REFUSE},
        {"silent", no_argument, nullptr, SILENT},
        {"silent-from", required_argument, nullptr, SILENT_FROM},
        {"delay", required_argument, nullptr, DELAY},
        {"short", required_argument, nullptr, SHORT},
        {"extra", required_argument, nullptr, EXTRA},
        {"timeout", required_argument, nullptr, TIMEOUT},
        {"die-with-parent", no_argument, nullptr, PARENT},
        {"verbose", no_argument, nullptr, VERBOSE},
        {"help", no_argument, nullptr, HELP},
        {nullptr, 0, nullptr, 0},
    };

    int choice;
    long value = 0;
    while ((choice = getopt_long(argc, argv, "", longOptions, nullptr)) != -1)
    {
        switch (choice)
        {
        case LINK:
            options.link = optarg;
            break;
        case VERSION:
            versionText = optarg;
            break;
        case VERSION_HEX:
            if (!ParseHex(optarg, &options.versionAnswer))
                return Usage("--version-hex wants pairs of hexadecimal digits");
            versionHex = true;
            break;
        case BOOTLOADER:
            if (!ParseInt(optarg, 0, 0xFFFFFFFFL, &value))
                return Usage("--bootloader wants a number from 0 to 4294967295");
            options.bootloader = static_cast<uint32_t>(value);
            break;
        case PIN:
        {
            const char* equals = std::strchr(optarg, '=');
            long pin = 0;
            if (equals == nullptr ||
                !ParseInt(std::string(optarg, static_cast<size_t>(equals - optarg)).c_str(), 0, 255,
                          &pin) ||
                !ParseInt(equals + 1, 0, 255, &value))
                return Usage("--pin wants P=V with P and V from 0 to 255");
            options.pinLevels[pin] = static_cast<int>(value);
            break;
        }
        case PIN_DEFAULT:
            if (!ParseInt(optarg, 0, 255, &value))
                return Usage("--pin-default wants a number from 0 to 255");
            pinDefault = static_cast<int>(value);
            break;
        case BOARD_ID:
            if (!ParseInt(optarg, 0, 255, &value))
                return Usage("--board-id wants a number from 0 to 255");
            options.boardId = static_cast<int>(value);
            break;
        case IMAGE:
            options.image = optarg;
            break;
        case REPORT:
            options.report = optarg;
            break;
        case CAPTURE:
            options.capture = optarg;
            break;
        case ONCE:
            options.once = true;
            break;
        case REFUSE:
        {
            const char* colon = std::strchr(optarg, ':');
            long at = 0;
            if (colon == nullptr ||
                !ParseInt(std::string(optarg, static_cast<size_t>(colon - optarg)).c_str(), 1,
                          1L << 30, &at) ||
                !ParseInt(colon + 1, 1, 255, &value))
                return Usage("--refuse wants K:S with K >= 1 and S from 1 to 255");
            options.refuseAt = static_cast<int>(at);
            options.refuseStatus = static_cast<int>(value);
            break;
        }
        case SILENT:
            options.silent = true;
            break;
        case SILENT_FROM:
            if (!ParseInt(optarg, 1, 1L << 30, &value))
                return Usage("--silent-from wants a number from 1");
            options.silentFrom = static_cast<int>(value);
            break;
        case DELAY:
            if (!ParseInt(optarg, 0, 3600000, &value))
                return Usage("--delay wants milliseconds");
            options.delayMs = static_cast<int>(value);
            break;
        case SHORT:
            if (!ParseInt(optarg, 0, 4096, &value))
                return Usage("--short wants a byte count");
            options.shortAnswer = static_cast<int>(value);
            break;
        case EXTRA:
            if (!ParseInt(optarg, 0, 4096, &value))
                return Usage("--extra wants a byte count");
            options.extra = static_cast<int>(value);
            break;
        case TIMEOUT:
            if (!ParseInt(optarg, 1, 86400 * 365, &value))
                return Usage("--timeout wants seconds");
            options.timeoutS = static_cast<int>(value);
            break;
        case PARENT:
            options.dieWithParent = true;
            break;
        case VERBOSE:
            options.verbose = true;
            break;
        case HELP:
            std::fputs(USAGE, stdout);
            return 0;
        default:
            return Usage("unknown option");
        }
    }
    if (optind < argc)
        return Usage("unexpected argument");
    if (options.link.empty())
        return Usage("--link PATH is required");
    if (!versionHex)
    {
        options.versionAnswer.assign(12, 0);
        std::copy_n(versionText.begin(), std::min<size_t>(versionText.size(), 12),
                    options.versionAnswer.begin());
    }
    for (int& level : options.pinLevels)
    {
        if (level < 0)
            level = pinDefault;
    }

    // Signals are only taken inside ppoll (see ReadExactly), so none is lost between a check of
    // the flag and the wait.
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
    {
        struct sigaction action
        {
        };
        action.sa_handler = OnSignal;
        sigaction(signal, &action, nullptr);
        sigaddset(&blocked, signal);
    }
    std::signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    if (options.dieWithParent)
    {
        const pid_t parent = getppid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            return 1;
    }

    Simulator simulator(options);
    return simulator.Run();
}
