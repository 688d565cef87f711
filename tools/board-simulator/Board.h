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

#include "PseudoTerminal.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// What the command line asks of the simulated board. K counts the header and data messages of a
// transfer, the header being 1.
struct Options
{
    std::string link;                  // --link: where the slave side's symlink goes
    std::string versionText = "2.8";   // --version: answered as 12 bytes, NUL-padded
    std::optional<Bytes> versionHex;   // --version-hex: the answer's bytes instead, any number
    long long bootloader = 0;          // --bootloader: answered least significant byte first
    unsigned char pinLevels[256] = {}; // --pin P=V, repeatable
    long long boardId = 1;             // --board-id
    std::string image;                 // --image: the bytes of the last transfer, at its end
    std::string report;                // --report: JSON of what the board saw
    std::string capture;               // --capture: every byte received, appended
    long long refuseAt = 0;            // --refuse K:S: status S instead of 0 to message K
    long long refuseStatus = 0;
    bool silent = false;      // --silent: never answers (but still checks)
    long long silentFrom = 0; // --silent-from K: no status from message K on
    // --stop-reading K: after message K (0: at once) it fills its input and reads no more
    long long stopReadingAt = -1;
    long long delayMs = 0;      // --delay: before every answer
    long long extra = 0;        // --extra N: bytes 0xA5 after every answer
    long long timeoutS = 0;     // --timeout: 0 is none
    bool dieWithParent = false; // --die-with-parent
    // --cooked: the terminal keeps the kernel's default settings (echo, canonical input, CR/NL
    // translation), as a USB serial board shows up before anything makes it raw
    bool cooked = false;
};

// How a transfer ended; the report's "result" names each in lower case.
enum class Outcome
{
    Complete,   // every message accepted
    Refused,    // --refuse
    Error,      // a frame the board could not take
    Unanswered, // the whole image came, but a fault withheld the last status
    Incomplete  // broken off
};

struct Transfer
{
    int command = 0;
    int lastType = -1;   // of the last message taken
    QJsonValue version;  // [major, minor] from the version message
    uint32_t length = 0; // of the image
    uint32_t imageChecksum = 0;
    Bytes received;
    QJsonArray frameLengths;               // one per message
    int statusMessages = 0;                // header and data messages
    Outcome outcome = Outcome::Incomplete; // while it runs, too
    std::string error;
    bool intact = false; // the whole image came, its checksum matching
};

// Follows each firmware transfer message by message, checking lengths, message order and
// checksums, gives the status (or the fault asked for) to every header and data message, and
// keeps what it saw for the report.
class Board
{
public:
    Board(const Options& options, PseudoTerminal& terminal) : mOptions(options), mTerminal(terminal)
    {
    }

    // Takes frames until a stop signal comes.
    void Serve();
    // Stops taking frames, with the input full.
    void StopReading();
    void WriteReport() const;
    // At exit: breaks off a transfer still running and writes the report. Returns the exit
    // status: 0 when every transfer was complete and intact (or none came), 1 otherwise.
    int Finish();

private:
    bool TakeFrame();
    bool CutOff();
    void HandleFrame(const Bytes& frame);
    void AnswerQuery(const char* name, bool wellFormed, const Bytes& answer);
    void HandleMessage(const Bytes& frame);
    Transfer& TransferFor(int command, int type);
    void AnswerStatusMessage(Transfer& transfer);

    void Answer(Bytes bytes);
    bool AnswerStatus(unsigned char status); // false when a fault withholds it
    void Error(const std::string& text);
    // An error that ends the running transfer, if any, with the error status when one is due.
    void Fail(const std::string& problem, bool statusDue);
    // Does nothing when no transfer is running.
    void EndTransfer(Outcome outcome, const std::string& error);

    const Options mOptions;
    PseudoTerminal& mTerminal;
    bool mInTransfer = false;
    bool mStoppedReading = false;
    // What the board has seen so far: the report is made of it.
    int mFrames = 0;
    QJsonObject mQueries{{"version", 0}, {"bootloader", 0}, {"pin", 0}, {"board_id", 0}};
    QStringList mErrors;
    std::vector<Transfer> mTransfers;
};
