#pragma once

// What a command wrote to one of its output streams, kept in a fixed amount of memory however
// much it wrote: its first and its last COMMAND_OUTPUT_KEPT_BYTES bytes, and the count of the
// bytes between them. tar names every member it cannot unpack, so a small archive of long names
// makes it write without bound; its first complaint and how it ended are what a reader needs.

#include <QByteArray>

class cBoundedOutput
{
public:
    void Append(const char* data, int length);
    // Every byte appended so far, kept or not.
    qint64 Received() const { return mReceived; }
    // The start of the output, as much of it as is kept.
    const QByteArray& Head() const { return mHead; }
    // What is kept, with a line that counts the bytes left out where they were; empties it.
    QByteArray Take();

private:
    QByteArray mHead;
    QByteArray mTail; // empty until the head is full
    qint64 mLeftOut = 0;
    qint64 mReceived = 0;
};
