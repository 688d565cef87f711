#pragma once

// Talking to a board through its character device without ever waiting past a deadline, and
// without touching anything at the device path that is not a character device. Shared by
// cUSBInterrogator and cUSBDeviceUpdater.
//
// The device is one C standard I/O stream on a non-blocking descriptor, held by one process at a
// time: an exclusive flock on it, which the box's other programs that talk to the board take too.
// Answers are read through the stream; frames are written straight to its descriptor, so that a
// board that stops taking bytes leaves nothing half written in a stdio buffer (stdio drops or keeps
// it, depending on the C library) and a write can wait for room against a deadline.
//
// stdio may already hold answer bytes in its buffer, which poll() on the descriptor does not
// see: a wait only happens when the buffer is empty, and then a one-byte fread() is done, which
// issues at most one read() (it returns what the device has).

#include <QMessageLogger>
#include <cstddef>
#include <cstdio>

class cDeadline;

namespace BoardStream
{

// Opens the device for reading and writing, never creating or truncating a file and never
// blocking in the open. Links are followed (device managers place them), but only a character
// device counts as a board: for anything else nothing is kept open and the result is null. The
// device is then locked, waiting up to lockWaitMs for another holder to let it go (null, and a
// line in the log, when it does not), and a terminal is made raw for as long as it is open.
FILE* OpenDevice(const char* path, int lockWaitMs, const QMessageLogger& log);

// Gives a terminal its settings back and closes the device, which lets the lock go. Nothing for
// null.
void CloseDevice(FILE* device);

struct ReadResult
{
    std::size_t count = 0; // bytes delivered
    bool timedOut = false; // the wait ran out before all bytes came
};

// Reads up to size bytes before the deadline. Stops early at end of file or on a read error.
ReadResult ReadWithin(FILE* stream, void* buffer, std::size_t size, const cDeadline& deadline);

struct WriteResult
{
    std::size_t count = 0; // bytes the device took
    bool timedOut = false; // it stopped taking them and the deadline passed
    int error = 0;         // errno of a failed write, 0 otherwise
};

// Hands size bytes to the device in one write when it has room for them (as a board wants a
// frame), waiting for room against the deadline when it has not.
WriteResult WriteWithin(FILE* stream, const void* bytes, std::size_t size,
                        const cDeadline& deadline);

// Drops every answer byte that is buffered or already waiting on the device, so that a late or
// overlong earlier answer is not taken for the next one. Bounded: a source that never runs dry
// stops being drained after a fixed number of reads.
void DiscardPendingInput(FILE* stream);

} // namespace BoardStream
