#pragma once

// Reading from and writing to a board's character device through one C standard I/O stream
// opened for update ("wb+"), without ever waiting forever and without letting unread answer
// bytes break the next write. Shared by cUSBInterrogator and cUSBDeviceUpdater.
//
// Two things of the C library matter here:
// - stdio may already hold answer bytes in its buffer, which poll() on the descriptor does not
//   see: a wait only happens when the buffer is empty, and then a one-byte fread() is done,
//   which issues at most one read() (it returns what the device has) and never blocks after a
//   poll() that reported input.
// - On an update stream, glibc turns unread buffered bytes into a relative seek at the next
//   write; a character device refuses it ("Illegal seek") and the write fails. So before every
//   write whatever is left over is read and dropped (__fpurge), then the stream is flushed, as
//   the C rule for switching an update stream from reading to writing asks.

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <stdio_ext.h>

namespace BoardStream
{

// Bytes of input that the stream holds in its buffer and that have not been read yet.
inline std::size_t BufferedInput(FILE* stream)
{
#if defined(__GLIBC__)
    return stream->_IO_read_ptr < stream->_IO_read_end
               ? static_cast<std::size_t>(stream->_IO_read_end - stream->_IO_read_ptr)
               : 0;
#else
    return __freadahead(stream); // musl
#endif
}

inline long long NowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

enum class WaitResult
{
    Ready, // a byte can be read without blocking (or the read will report end or error)
    TimedOut,
    Failed
};

// Waits until the stream can deliver a byte without blocking, at most until deadlineMs.
inline WaitResult WaitForInput(FILE* stream, long long deadlineMs)
{
    if (BufferedInput(stream) > 0)
    {
        return WaitResult::Ready;
    }
    for (;;)
    {
        const long long left = deadlineMs - NowMs();
        pollfd descriptor{fileno(stream), POLLIN, 0};
        const int ready = poll(&descriptor, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready > 0)
        {
            // POLLHUP and POLLERR too: the read then reports end of file or the error.
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

struct ReadResult
{
    std::size_t count = 0; // bytes delivered
    bool timedOut = false; // the wait ran out before all bytes came
};

// Reads up to size bytes, waiting at most timeoutMs in all. Stops early at end of file or on a
// read error. Never blocks past the deadline on a device whose poll() tells the truth.
inline ReadResult ReadWithin(FILE* stream, void* buffer, std::size_t size, int timeoutMs)
{
    ReadResult result;
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    const long long deadline = NowMs() + timeoutMs;
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
        if (std::fread(bytes + result.count, 1, 1, stream) != 1)
        {
            break; // end of file or read error
        }
        ++result.count;
    }
    return result;
}

// Drops every answer byte that is buffered or already waiting on the device, then flushes, so
// that the next write starts cleanly. Bounded: a source that never runs dry (a regular file
// does run dry at its end) stops being drained after one buffer's worth of reads.
inline void DiscardPendingInput(FILE* stream)
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
    std::fflush(stream);
}

} // namespace BoardStream
