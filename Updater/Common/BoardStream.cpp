#include "BoardStream.h"

#include <cerrno>
#include <poll.h>
#include <stdio_ext.h>

namespace BoardStream
{

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

WaitResult WaitForInput(FILE* stream, const cDeadline& deadline)
{
    if (BufferedInput(stream) > 0)
    {
        return WaitResult::Ready;
    }
    for (;;)
    {
        pollfd descriptor{fileno(stream), POLLIN, 0};
        const int ready = poll(&descriptor, 1, deadline.RemainingMs());
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

ReadResult ReadWithin(FILE* stream, void* buffer, std::size_t size, int timeoutMs)
{
    ReadResult result;
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    const cDeadline deadline(timeoutMs);
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
    std::fflush(stream);
}

} // namespace BoardStream
