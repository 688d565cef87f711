#pragma once

// The board's side of the wire protocol. The simulator keeps its own copy of it, apart from the
// updater's, so that it checks the bytes the updater sends instead of sharing its mistakes.
//
// Frame head: the frame's length in bytes, head included, as 16 bits big-endian (3 to 512),
// then a command code. What follows belongs to the command.
//
// Queries, answered at once with no status:
//   00 03 01                          version: 12 bytes of text, NUL-padded
//   00 03 20                          bootloader version: 4 bytes, least significant first
//   00 04 0A P                        pin P: its level, 1 byte
//   00 0B 02 00 00 00 01 N 10 00 00   board ID: 1 byte
//
// Transfers: every message of one carries its update mode's command code, 0x0C (mode 0), 0x18
// (mode 1) or 0x19 (modes 2 and up), then a message type:
//   3 bootloader   nothing more; 0x19 only, first of all
//   2 version      major, minor, 00; 0x19 only, before the header
//   0 header       header checksum, image length, image checksum (4 bytes big-endian each),
//                  then the first min(length, 496) image bytes
//   1 data         data checksum, then the next min(remaining, 504) image bytes
// Checksums are 32-bit sums of bytes: the header checksum covers everything after it, the data
// checksum the image bytes of its message, the image checksum the whole image.
//
// Status byte: one after every header and data message, 0 for accepted; anything else refuses
// the transfer. This board answers 0xEE to a frame it cannot take when a status is due.

#include "Options.h"
#include "PseudoTerminal.h"

#include <cstdint>
#include <string>
#include <vector>

using Frame = std::vector<unsigned char>;

// How a transfer ended; the report names each.
enum class Outcome
{
    Running,
    Complete,   // every message accepted
    Refused,    // --refuse
    Error,      // a frame the board could not take
    Unanswered, // the whole image came, but a fault withheld the last status
    Incomplete  // broken off
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
    std::vector<int> frameLengths; // one per message
    int statusMessages = 0;        // header and data messages
    Outcome outcome = Outcome::Running;
    std::string error;
    bool intact = false;
    uint32_t receivedChecksum = 0;
};

// What the board has seen so far: the report is made of it.
struct Record
{
    int frames = 0;
    int versionQueries = 0;
    int bootloaderQueries = 0;
    int pinQueries = 0;
    int boardIdQueries = 0;
    std::vector<std::string> errors;
    std::vector<Transfer> transfers;
};

// Follows each firmware transfer message by message, checking lengths, message order and
// checksums, and gives the status (or the fault asked for) to every header and data message.
class Board
{
public:
    Board(const Options& options, PseudoTerminal& terminal) : mOptions(options), mTerminal(terminal)
    {
    }

    // Takes the next frame, or what came of one. Nothing happens when no frame begins within
    // waitMs (-1: no limit).
    void TakeFrame(int waitMs);
    // Stops taking frames, with the input full.
    void StopReading();
    bool StoppedReading() const { return mStoppedReading; }
    // At exit: a transfer still running is broken off.
    void Finish();
    void WriteReport();
    // 0 when every transfer was complete and intact (or none came), 1 otherwise.
    int ExitStatus() const;

private:
    void HandleFrame(const Frame& frame);
    bool AnswerQuery(const Frame& frame);
    bool QuerySizeIs(const Frame& frame, size_t size, const char* query);
    bool IsBoardIdQuery(const Frame& frame);
    bool Answered(int& count, const std::string& query, const Frame& answer);
    void HandleTransferFrame(const Frame& frame);
    Transfer& TransferFor(int command, int type);
    void AnswerStatusMessage(Transfer& transfer, int type);

    void Answer(Frame bytes);
    bool AnswerStatus(unsigned char status); // false when a fault withholds it
    void Error(const std::string& text);
    // Each does nothing when no transfer is running.
    void FailTransfer(const std::string& reason, bool statusDue);
    void EndTransfer(Outcome outcome, const std::string& error);

    Options mOptions;
    PseudoTerminal& mTerminal;
    Record mRecord;
    bool mInTransfer = false;
    bool mStoppedReading = false;
};
