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

#include "Deadline.h"

#include <cstddef>
#include <cstdio>

namespace BoardStream
{

// Bytes of input that the stream holds in its buffer and that have not been read yet.
std::size_t BufferedInput(FILE* stream);

enum class WaitResult
{
    Ready, // a byte can be read without blocking (or the read will report end or error)
    TimedOut,
    Failed
};

// Waits until the stream can deliver a byte without blocking, at most until the deadline.
WaitResult WaitForInput(FILE* stream, const cDeadline& deadline);

struct ReadResult
{
    std::size_t count = 0; // bytes delivered
    bool timedOut = false; // the wait ran out before all bytes came
};

// Reads up to size bytes, waiting at most timeoutMs in all. Stops early at end of file or on a
// read error. Never blocks past the deadline on a device whose poll() tells the truth.
ReadResult ReadWithin(FILE* stream, void* buffer, std::size_t size, int timeoutMs);

// Drops every answer byte that is buffered or already waiting on the device, then flushes, so
// that the next write starts cleanly. Bounded: a source that never runs dry (a regular file
// does run dry at its end) stops being drained after one buffer's worth of reads.
void DiscardPendingInput(FILE* stream);

} // namespace BoardStream
