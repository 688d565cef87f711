#pragma once

#include "Options.h"
#include "PseudoTerminal.h"
#include "Record.h"

#include <string>
#include <vector>

// The board's side of the protocol: answers the queries, follows each firmware transfer
// message by message, checking lengths, message order and checksums, and gives the status
// (or the fault asked for) to every header and data message.
class Board
{
public:
    Board(const Options& options, PseudoTerminal& terminal) : mOptions(options), mTerminal(terminal)
    {
    }

    void HandleFrame(const std::vector<unsigned char>& frame);

    // A frame that could not be taken whole. The transfer it belonged to, if any, ends with an
    // error, answered with the error status when the frame was due one.
    void Error(const std::string& text);
    void FailRunningTransfer(const std::string& reason, bool statusDue);
    void EndRunningTransfer(const std::string& result, const std::string& reason);

    // Stops taking frames, with the input full.
    void StopReading();
    bool StoppedReading() const { return mStoppedReading; }

    void WriteReport();
    // 0 when every transfer was complete and intact (or none came), 1 otherwise.
    int ExitStatus() const;

private:
    // False for a malformed query: it is recorded as an error and gets no answer.
    bool AnswerQuery(const std::vector<unsigned char>& frame);
    bool AnswerBoardIdQuery(const std::vector<unsigned char>& frame);
    bool QuerySizeIs(const std::vector<unsigned char>& frame, size_t size, const char* query);
    void HandleTransferFrame(const std::vector<unsigned char>& frame);
    Transfer& TransferFor(int command, int type);
    std::string TakeMessage(Transfer& transfer, const std::vector<unsigned char>& frame);
    std::string TakeBootloaderMessage(Transfer& transfer, const std::vector<unsigned char>& frame);
    std::string TakeVersionMessage(Transfer& transfer, const std::vector<unsigned char>& frame);
    std::string TakeHeaderMessage(Transfer& transfer, const std::vector<unsigned char>& frame);
    std::string TakeDataMessage(Transfer& transfer, const std::vector<unsigned char>& frame);
    void AnswerStatusMessage(Transfer& transfer, int type);
    void FailTransfer(const std::string& reason, bool statusDue);

    void Answer(const std::vector<unsigned char>& answer);
    bool AnswerStatus(unsigned char status); // false when a fault withholds it
    void EndTransfer(const std::string& result, const std::string& error);
    void WriteImage(const Transfer& transfer);

    Options mOptions;
    PseudoTerminal& mTerminal;
    Record mRecord;
    bool mInTransfer = false;
    bool mStoppedReading = false;
};
