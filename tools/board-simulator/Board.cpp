#include "Board.h"

#include "Log.h"
#include "Report.h"
#include "Signals.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace
{

enum MessageType
{
    HEADER = 0,
    DATA = 1,
    VERSION = 2,
    BOOTLOADER = 3
};

const unsigned char ERROR_STATUS = 0xEE;

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

// The checksum of a header or data message covers everything after it.
bool MessageChecksumMatches(const std::vector<unsigned char>& frame)
{
    return BigEndian32(&frame[4]) == Sum(&frame[8], frame.size() - 8);
}

bool IsQuery(int command)
{
    return command == 0x01 || command == 0x20 || command == 0x0A || command == 0x02;
}

bool IsTransfer(int command)
{
    return command == 0x0C || command == 0x18 || command == 0x19;
}

// Only mode 2 (0x19) announces the bootloader and the version ahead of the header.
bool CarriesVersion(int command)
{
    return command == 0x19;
}

// The type of the message that would go on with the running transfer.
int ExpectedType(const Transfer& running)
{
    if (running.headerSeen)
        return DATA;
    if (running.versionMessage)
        return HEADER;
    if (running.bootloaderMessage)
        return VERSION;
    return -1;
}

// A transfer keeps the command code it began with.
std::string CommandChange(const Transfer& transfer, int command)
{
    if (command == transfer.command)
        return "";
    return "command code changed from " + std::to_string(transfer.command) + " to " +
           std::to_string(command);
}

} // namespace

void Board::HandleFrame(const std::vector<unsigned char>& frame)
{
    mRecord.frames++;
    const int command = frame[2];
    if (IsQuery(command))
    {
        EndRunningTransfer("incomplete", "a query came during the transfer");
        if (!AnswerQuery(frame))
        {
            return;
        }
    }
    else if (IsTransfer(command))
    {
        HandleTransferFrame(frame);
    }
    else
    {
        Error("unknown command code " + std::to_string(command));
    }
    // A transfer's report is written when it ends (messages in between would make a long
    // transfer quadratic).
    if (!mInTransfer)
    {
        WriteReport();
    }
}

bool Board::QuerySizeIs(const std::vector<unsigned char>& frame, size_t size, const char* query)
{
    if (frame.size() == size)
    {
        return true;
    }
    Error(std::string(query) + " query of " + std::to_string(frame.size()) + " bytes");
    return false;
}

bool Board::AnswerQuery(const std::vector<unsigned char>& frame)
{
    switch (frame[2])
    {
    case 0x01:
        if (!QuerySizeIs(frame, 3, "version"))
            return false;
        mRecord.queries.version++;
        Verbose("version query");
        Answer(mOptions.versionAnswer);
        return true;
    case 0x20:
        if (!QuerySizeIs(frame, 3, "bootloader"))
            return false;
        mRecord.queries.bootloader++;
        Verbose("bootloader version query");
        Answer({static_cast<unsigned char>(mOptions.bootloader),
                static_cast<unsigned char>(mOptions.bootloader >> 8),
                static_cast<unsigned char>(mOptions.bootloader >> 16),
                static_cast<unsigned char>(mOptions.bootloader >> 24)});
        return true;
    case 0x0A:
        if (!QuerySizeIs(frame, 4, "pin"))
            return false;
        mRecord.queries.pin++;
        Verbose("pin query %d", frame[3]);
        Answer({mOptions.pinLevels[frame[3]]});
        return true;
    default:
        return AnswerBoardIdQuery(frame);
    }
}

bool Board::AnswerBoardIdQuery(const std::vector<unsigned char>& frame)
{
    const unsigned char fixed[] = {0x00, 0x0B, 0x02, 0x00, 0x00, 0x00, 0x01};
    if (frame.size() != 11 || std::memcmp(frame.data(), fixed, sizeof fixed) != 0 ||
        frame[8] != 0x10 || frame[9] != 0 || frame[10] != 0)
    {
        Error("malformed board ID query");
        return false;
    }
    mRecord.queries.boardId++;
    Verbose("board ID query %d", frame[7]);
    Answer({mOptions.boardId});
    return true;
}

void Board::HandleTransferFrame(const std::vector<unsigned char>& frame)
{
    const int command = frame[2];
    if (frame.size() < 4)
    {
        Error("transfer frame of " + std::to_string(frame.size()) + " bytes has no type");
        return;
    }
    const int type = frame[3];
    Transfer& transfer = TransferFor(command, type);
    transfer.messages++;
    transfer.frameLengths.push_back(static_cast<int>(frame.size()));

    const bool statusBearing = type == HEADER || type == DATA;
    std::string problem = CommandChange(transfer, command);
    if (problem.empty())
    {
        problem = TakeMessage(transfer, frame);
    }
    if (!problem.empty())
    {
        Error(problem);
        FailTransfer(problem, statusBearing);
        return;
    }
    if (statusBearing)
    {
        AnswerStatusMessage(transfer, type);
    }
}

// Does the frame go on with the running transfer, or open a new one (the updater gave up on
// the earlier one)?
Transfer& Board::TransferFor(int command, int type)
{
    const bool continues = mInTransfer && command == mRecord.transfers.back().command &&
                           type == ExpectedType(mRecord.transfers.back());
    const bool opener =
        type == BOOTLOADER || type == VERSION || (type == HEADER && !CarriesVersion(command));
    if (mInTransfer && !continues && opener)
    {
        EndTransfer("incomplete", "a new transfer began");
    }
    if (!mInTransfer)
    {
        mRecord.transfers.emplace_back();
        mRecord.transfers.back().command = command;
        mInTransfer = true;
    }
    return mRecord.transfers.back();
}

// Returns what is wrong with the message, or "" when it was taken.
std::string Board::TakeMessage(Transfer& transfer, const std::vector<unsigned char>& frame)
{
    const int type = frame[3];
    switch (type)
    {
    case BOOTLOADER:
        return TakeBootloaderMessage(transfer, frame);
    case VERSION:
        return TakeVersionMessage(transfer, frame);
    case HEADER:
        return TakeHeaderMessage(transfer, frame);
    case DATA:
        return TakeDataMessage(transfer, frame);
    default:
        return "unknown message type " + std::to_string(type);
    }
}

std::string Board::TakeBootloaderMessage(Transfer& transfer,
                                         const std::vector<unsigned char>& frame)
{
    const int command = frame[2];
    if (!CarriesVersion(command))
        return "bootloader message with command code " + std::to_string(command);
    if (transfer.messages != 1)
        return "bootloader message out of order";
    if (frame.size() != 4)
        return "bootloader message of " + std::to_string(frame.size()) + " bytes";
    transfer.bootloaderMessage = true;
    Verbose("bootloader message");
    return "";
}

std::string Board::TakeVersionMessage(Transfer& transfer, const std::vector<unsigned char>& frame)
{
    const int command = frame[2];
    if (!CarriesVersion(command))
        return "version message with command code " + std::to_string(command);
    if (transfer.versionMessage || transfer.headerSeen ||
        transfer.messages != (transfer.bootloaderMessage ? 2 : 1))
        return "version message out of order";
    if (frame.size() != 7 || frame[6] != 0)
        return "version message of " + std::to_string(frame.size()) + " bytes";
    transfer.versionMessage = true;
    transfer.versionMajor = frame[4];
    transfer.versionMinor = frame[5];
    Verbose("version message %d.%d", frame[4], frame[5]);
    return "";
}

std::string Board::TakeHeaderMessage(Transfer& transfer, const std::vector<unsigned char>& frame)
{
    if (transfer.headerSeen)
        return "second header message";
    if (CarriesVersion(frame[2]) && !transfer.versionMessage)
        return "header message before the version message";
    if (frame.size() < 16)
        return "header message of " + std::to_string(frame.size()) + " bytes";
    const uint32_t length = BigEndian32(&frame[8]);
    const size_t carried = std::min<uint32_t>(length, 496);
    if (frame.size() != carried + 16)
        return "header message of " + std::to_string(frame.size()) + " bytes for an image of " +
               std::to_string(length);
    if (!MessageChecksumMatches(frame))
        return "header checksum mismatch";
    transfer.headerSeen = true;
    transfer.length = length;
    transfer.announcedChecksum = BigEndian32(&frame[12]);
    transfer.received.assign(frame.begin() + 16, frame.end());
    return "";
}

std::string Board::TakeDataMessage(Transfer& transfer, const std::vector<unsigned char>& frame)
{
    if (!transfer.headerSeen)
        return "data message before the header message";
    const size_t remaining = transfer.length - transfer.received.size();
    const size_t carried = std::min<size_t>(remaining, 504);
    if (carried == 0)
        return "data message after the whole image";
    if (frame.size() != carried + 8)
        return "data message of " + std::to_string(frame.size()) + " bytes with " +
               std::to_string(remaining) + " image bytes remaining";
    if (!MessageChecksumMatches(frame))
        return "data checksum mismatch";
    transfer.received.insert(transfer.received.end(), frame.begin() + 8, frame.end());
    return "";
}

void Board::AnswerStatusMessage(Transfer& transfer, int type)
{
    transfer.statusMessages++;
    Verbose("%s message %d: %zu of %u image bytes", type == HEADER ? "header" : "data",
            transfer.statusMessages, transfer.received.size(), transfer.length);
    if (mOptions.refuseAt > 0 && transfer.statusMessages == mOptions.refuseAt)
    {
        AnswerStatus(mOptions.refuseStatus);
        EndTransfer("refused", "refused with status " + std::to_string(mOptions.refuseStatus) +
                                   " at message " + std::to_string(mOptions.refuseAt));
        return;
    }
    // Full before the status goes out: the updater's next message must find no room.
    if (transfer.statusMessages == mOptions.stopReadingAt)
    {
        StopReading();
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

void Board::StopReading()
{
    Verbose("filling the input and reading no more");
    mTerminal.FillInput();
    mStoppedReading = true;
}

void Board::Error(const std::string& text)
{
    Verbose("error: %s", text.c_str());
    mRecord.errors.push_back(text);
}

void Board::FailTransfer(const std::string& reason, bool statusDue)
{
    if (statusDue)
    {
        mRecord.transfers.back().statusMessages++;
        AnswerStatus(ERROR_STATUS);
    }
    EndTransfer("error", reason);
}

void Board::FailRunningTransfer(const std::string& reason, bool statusDue)
{
    if (mInTransfer)
    {
        FailTransfer(reason, statusDue);
    }
}

void Board::EndRunningTransfer(const std::string& result, const std::string& reason)
{
    if (mInTransfer)
    {
        EndTransfer(result, reason);
    }
}

void Board::Answer(const std::vector<unsigned char>& answer)
{
    if (mOptions.silent)
    {
        Verbose("silent: no answer");
        return;
    }
    std::vector<unsigned char> bytes = answer;
    bytes.insert(bytes.end(), static_cast<size_t>(mOptions.extra), 0xA5);
    if (mOptions.delayMs > 0)
    {
        PauseUnlessStopped(mOptions.delayMs);
    }
    if (mTerminal.WriteAll(bytes))
    {
        Verbose("answered %zu bytes", bytes.size());
    }
}

bool Board::AnswerStatus(unsigned char status)
{
    const Transfer& transfer = mRecord.transfers.back();
    if (mOptions.silentFrom > 0 && transfer.statusMessages >= mOptions.silentFrom)
    {
        Verbose("silent from status message %d: no status", mOptions.silentFrom);
        return false;
    }
    Answer({status});
    return !mOptions.silent;
}

void Board::EndTransfer(const std::string& result, const std::string& error)
{
    Transfer& transfer = mRecord.transfers.back();
    transfer.result = result;
    transfer.error = error;
    transfer.receivedChecksum = Sum(transfer.received.data(), transfer.received.size());
    const bool ranToTheEnd = result == "complete" || result == "unanswered";
    transfer.intact = ranToTheEnd && transfer.headerSeen &&
                      transfer.received.size() == transfer.length &&
                      transfer.receivedChecksum == transfer.announcedChecksum;
    if (ranToTheEnd && !transfer.intact)
    {
        transfer.error = "image checksum mismatch";
        Error(transfer.error);
    }
    mInTransfer = false;
    Verbose("transfer %s: %zu of %u bytes%s%s", result.c_str(), transfer.received.size(),
            transfer.length, transfer.error.empty() ? "" : ": ", transfer.error.c_str());
    WriteImage(transfer);
    WriteReport();
}

void Board::WriteReport()
{
    if (mOptions.report.empty())
    {
        return;
    }
    const std::string json = ReportJson(mTerminal.SlavePath(), mRecord);
    ReplaceFile(mOptions.report, json.data(), json.size());
}

void Board::WriteImage(const Transfer& transfer)
{
    if (mOptions.image.empty())
    {
        return;
    }
    ReplaceFile(mOptions.image, transfer.received.data(), transfer.received.size());
}

int Board::ExitStatus() const
{
    for (const Transfer& transfer : mRecord.transfers)
    {
        if (!transfer.intact || transfer.result != "complete")
        {
            return 1;
        }
    }
    return 0;
}
