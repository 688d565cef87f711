#include "BoardStream.h"

#include "Deadline.h"
#include "ExclusiveLock.h"
#include "FileDescriptor.h"
#include "RawTerminal.h"

#include <QDebug>
#include <QString>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

namespace BoardStream
{

namespace
{

enum class WaitResult
{
    Ready, // the descriptor can go on without blocking (or will report its end or error)
    TimedOut,
    Failed
};

// Bytes of input that the stream holds in its buffer and that have not been read yet.
std::size_t BufferedInput(FILE* stream)
{
#if defined(__GLIBC__)
    return stream->_IO_read_ptr < stream->_IO_read_end
               ? static_cast<std::size_t>(stream->_IO_read_end - stream->_IO_read_ptr)
               : 0;
#else
    return __freadahead(stream); // musl
#endif
}

WaitResult WaitFor(int descriptor, short events, const cDeadline& deadline)
{
    for (;;)
    {
        pollfd wanted{descriptor, events, 0};
        const int ready = poll(&wanted, 1, deadline.RemainingMs());
        if (ready > 0)
        {
            // POLLHUP and POLLERR too: the next read or write reports the end or the error.
            return WaitResult::Ready;
        }
        if (ready == 0)
        {
            return WaitResult::TimedOut;
        }
        if (errno != EINTR)
        {
            return WaitResult::Failed;
        }
    }
}

bool WouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

// Waits until the stream can deliver a byte without blocking, at most until the deadline.
WaitResult WaitForInput(FILE* stream, const cDeadline& deadline)
{
    if (BufferedInput(stream) > 0)
    {
        return WaitResult::Ready;
    }
    return WaitFor(fileno(stream), POLLIN, deadline);
}

// Frames of two processes must never meet on the wire.
bool LockDevice(int descriptor, const char* path, int waitMs, const QMessageLogger& log)
{
    const int error = LockExclusivelyWithin(descriptor, waitMs);
    if (error == 0)
    {
        return true;
    }
    const QString why = error == EWOULDBLOCK
                            ? QStringLiteral("still in use after %1 ms").arg(waitMs)
                            : QString::fromLocal8Bit(std::strerror(error));
    log.debug().noquote() << "Could not lock" << QString::fromLocal8Bit(path) + ':' << why;
    return false;
}

} // namespace

FILE* OpenDevice(const char* path, int lockWaitMs, const QMessageLogger& log)
{
    // Not blocking in the open also keeps a terminal-like device from waiting for a carrier.
    cFileDescriptor descriptor(open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!descriptor.IsOpen())
    {
        return nullptr;
    }
    struct stat status
    {
    };
    if (fstat(descriptor.Get(), &status) != 0 || !S_ISCHR(status.st_mode))
    {
        errno = ENODEV;
        return nullptr;
    }
    // Settings are saved only under the lock: a run waiting for it would take another run's raw
    // settings for the terminal's own, and leave them behind.
    if (!LockDevice(descriptor.Get(), path, lockWaitMs, log))
    {
        return nullptr;
    }
    MakeTerminalRaw(descriptor.Get());
    FILE* stream = fdopen(descriptor.Get(), "r+b");
    if (stream == nullptr)
    {
        RestoreTerminal(descriptor.Get());
        return nullptr;
    }
    descriptor.Release();
    return stream;
}

void CloseDevice(FILE* device)
{
    if (device != nullptr)
    {
        RestoreTerminal(fileno(device));
        std::fclose(device);
    }
}

ReadResult ReadWithin(FILE* stream, void* buffer, std::size_t size, const cDeadline& deadline)
{
    ReadResult result;
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    while (result.count < size)
    {
        const WaitResult wait = WaitForInput(stream, deadline);
        if (wait == WaitResult::TimedOut)
        {
            result.timedOut = true;
            break;
        }
        if (wait == WaitResult::Failed)
        {
            break;
        }
        if (std::fread(bytes + result.count, 1, 1, stream) == 1)
        {
            ++result.count;
            continue;
        }
        // A device may report input that is gone by the time it is read: wait again, while
        // there is time.
        if (!std::ferror(stream) || !WouldBlock(errno))
        {
            break; // end of file or read error
        }
        std::clearerr(stream);
        if (deadline.HasPassed())
        {
            result.timedOut = true;
            break;
        }
    }
    return result;
}

WriteResult WriteWithin(FILE* stream, const void* bytes, std::size_t size,
                        const cDeadline& deadline)
{
    WriteResult result;
    const int descriptor = fileno(stream);
    const char* next = static_cast<const char*>(bytes);
    while (result.count < size)
    {
        const ssize_t written = write(descriptor, next + result.count, size - result.count);
        if (written > 0)
        {
            result.count += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
        {
            continue;
        }
        if (written < 0 && !WouldBlock(errno))
        {
            result.error = errno;
            break;
        }
        // No room: wait for some. A device that claims room it does not have still cannot keep
        // the write past the deadline.
        const WaitResult wait =
            deadline.HasPassed() ? WaitResult::TimedOut : WaitFor(descriptor, POLLOUT, deadline);
        if (wait == WaitResult::TimedOut)
        {
            result.timedOut = true;
            break;
        }
        if (wait == WaitResult::Failed)
        {
            result.error = errno;
            break;
        }
    }
    return result;
}

void DiscardPendingInput(FILE* stream)
{
    for (int i = 0; i < 65536; ++i)
    {
        if (BufferedInput(stream) == 0)
        {
            pollfd descriptor{fileno(stream), POLLIN, 0};
            if (poll(&descriptor, 1, 0) <= 0 || !(descriptor.revents & POLLIN))
            {
                break;
            }
        }
        unsigned char byte;
        if (std::fread(&byte, 1, 1, stream) != 1)
        {
            break;
        }
    }
    __fpurge(stream);
    std::clearerr(stream);
}

} // namespace BoardStream
