#include "Board.h"

#include "Log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <algorithm>
#include <cstring>
#include <numeric>

namespace
{

// Command codes
const unsigned char VERSION_QUERY = 0x01;
const unsigned char BOOTLOADER_QUERY = 0x20;
const unsigned char PIN_QUERY = 0x0A;
const unsigned char BOARD_ID_QUERY = 0x02;
const unsigned char MODE_0_TRANSFER = 0x0C;
const unsigned char MODE_1_TRANSFER = 0x18;
const unsigned char VERSIONED_TRANSFER = 0x19; // modes 2 and up

enum MessageType
{
    HEADER_MESSAGE = 0,
    DATA_MESSAGE = 1,
    VERSION_MESSAGE = 2,
    BOOTLOADER_MESSAGE = 3
};

const size_t SHORTEST_FRAME = 3;
const size_t LONGEST_FRAME = 512;
const size_t HEADER_HEAD = 16; // frame head, type, checksum, image length, image checksum
const size_t DATA_HEAD = 8;    // frame head, type, checksum
const unsigned char ACCEPTED = 0;
const unsigned char ERROR_STATUS = 0xEE;

// The rest of a frame follows at once: the updater writes each frame in one write.
const int REST_OF_FRAME_WAIT_MS = 2000;

uint32_t BigEndian32(const unsigned char* at)
{
    return (uint32_t(at[0]) << 24) | (uint32_t(at[1]) << 16) | (uint32_t(at[2]) << 8) | at[3];
}

uint32_t Sum(const std::vector<unsigned char>& bytes, size_t from)
{
    return std::accumulate(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                           uint32_t(0));
}

// The checksum of a header or data message covers everything after it.
bool MessageChecksumMatches(const Frame& frame)
{
    return BigEndian32(&frame[4]) == Sum(frame, 8);
}

bool IsQuery(int command)
{
    return command == VERSION_QUERY || command == BOOTLOADER_QUERY || command == PIN_QUERY ||
           command == BOARD_ID_QUERY;
}

bool IsTransfer(int command)
{
    return command == MODE_0_TRANSFER || command == MODE_1_TRANSFER ||
           command == VERSIONED_TRANSFER;
}

// The type of the message that would go on with the running transfer.
int ExpectedType(const Transfer& running)
{
    if (running.headerSeen)
        return DATA_MESSAGE;
    if (running.versionMessage)
        return HEADER_MESSAGE;
    if (running.bootloaderMessage)
        return VERSION_MESSAGE;
    return -1;
}

// The checks of each message type return what is wrong with the message, or "" when it was
// taken.

std::string TakeBootloaderMessage(Transfer& transfer, const Frame& frame)
{
    if (frame[2] != VERSIONED_TRANSFER)
        return "bootloader message with command code " + std::to_string(frame[2]);
    if (transfer.frameLengths.size() != 1)
        return "bootloader message out of order";
    if (frame.size() != 4)
        return "bootloader message of " + std::to_string(frame.size()) + " bytes";
    transfer.bootloaderMessage = true;
    Verbose("bootloader message");
    return "";
}

std::string TakeVersionMessage(Transfer& transfer, const Frame& frame)
{
    if (frame[2] != VERSIONED_TRANSFER)
        return "version message with command code " + std::to_string(frame[2]);
    if (transfer.versionMessage || transfer.headerSeen ||
        transfer.frameLengths.size() != (transfer.bootloaderMessage ? 2u : 1u))
        return "version message out of order";
    if (frame.size() != 7 || frame[6] != 0)
        return "version message of " + std::to_string(frame.size()) + " bytes";
    transfer.versionMessage = true;
    transfer.versionMajor = frame[4];
    transfer.versionMinor = frame[5];
    Verbose("version message %d.%d", frame[4], frame[5]);
    return "";
}

std::string TakeHeaderMessage(Transfer& transfer, const Frame& frame)
{
    if (transfer.headerSeen)
        return "second header message";
    if (frame[2] == VERSIONED_TRANSFER && !transfer.versionMessage)
        return "header message before the version message";
    if (frame.size() < HEADER_HEAD)
        return "header message of " + std::to_string(frame.size()) + " bytes";
    const uint32_t length = BigEndian32(&frame[8]);
    const size_t carried = std::min<size_t>(length, LONGEST_FRAME - HEADER_HEAD);
    if (frame.size() != carried + HEADER_HEAD)
        return "header message of " + std::to_string(frame.size()) + " bytes for an image of " +
               std::to_string(length);
    if (!MessageChecksumMatches(frame))
        return "header checksum mismatch";
    transfer.headerSeen = true;
    transfer.length = length;
    transfer.announcedChecksum = BigEndian32(&frame[12]);
    transfer.received.assign(frame.begin() + HEADER_HEAD, frame.end());
    return "";
}

std::string TakeDataMessage(Transfer& transfer, const Frame& frame)
{
    if (!transfer.headerSeen)
        return "data message before the header message";
    const size_t remaining = transfer.length - transfer.received.size();
    const size_t carried = std::min<size_t>(remaining, LONGEST_FRAME - DATA_HEAD);
    if (carried == 0)
        return "data message after the whole image";
    if (frame.size() != carried + DATA_HEAD)
        return "data message of " + std::to_string(frame.size()) + " bytes with " +
               std::to_string(remaining) + " image bytes remaining";
    if (!MessageChecksumMatches(frame))
        return "data checksum mismatch";
    transfer.received.insert(transfer.received.end(), frame.begin() + DATA_HEAD, frame.end());
    return "";
}

std::string TakeMessage(Transfer& transfer, const Frame& frame)
{
    // A transfer keeps the command code it began with.
    if (frame[2] != transfer.command)
        return "command code changed from " + std::to_string(transfer.command) + " to " +
               std::to_string(frame[2]);
    switch (frame[3])
    {
    case BOOTLOADER_MESSAGE:
        return TakeBootloaderMessage(transfer, frame);
    case VERSION_MESSAGE:
        return TakeVersionMessage(transfer, frame);
    case HEADER_MESSAGE:
        return TakeHeaderMessage(transfer, frame);
    case DATA_MESSAGE:
        return TakeDataMessage(transfer, frame);
    default:
        return "unknown message type " + std::to_string(frame[3]);
    }
}

const char* OutcomeName(Outcome outcome)
{
    const char* const names[] = {"running", "complete",   "refused",
                                 "error",   "unanswered", "incomplete"}; // as Outcome orders them
    return names[static_cast<int>(outcome)];
}

QJsonObject TransferJson(const Transfer& t)
{
    QJsonArray lengths;
    for (int length : t.frameLengths)
        lengths.append(length);
    const QJsonValue version =
        t.versionMessage ? QJsonArray{t.versionMajor, t.versionMinor} : QJsonValue();
    return {{"command", t.command},
            {"bootloader_message", t.bootloaderMessage},
            {"version", version},
            {"length", qint64(t.length)},
            {"received", qint64(t.received.size())},
            {"image_checksum", qint64(t.announcedChecksum)},
            {"received_checksum", qint64(t.receivedChecksum)},
            {"messages", int(t.frameLengths.size())},
            {"status_messages", t.statusMessages},
            {"frame_lengths", lengths},
            {"result", OutcomeName(t.outcome)},
            {"error", QString::fromStdString(t.error)},
            {"intact", t.intact}};
}

QByteArray ReportJson(const QString& device, const Record& record)
{
    QJsonArray errors;
    for (const std::string& error : record.errors)
        errors.append(QString::fromStdString(error));
    QJsonArray transfers;
    for (const Transfer& transfer : record.transfers)
        transfers.append(TransferJson(transfer));
    const QJsonObject queries = {{"version", record.versionQueries},
                                 {"bootloader", record.bootloaderQueries},
                                 {"pin", record.pinQueries},
                                 {"board_id", record.boardIdQueries}};
    return QJsonDocument(QJsonObject{{"device", device},
                                     {"frames", record.frames},
                                     {"queries", queries},
                                     {"errors", errors},
                                     {"transfers", transfers}})
        .toJson();
}

// A reader never sees half a file. Nothing happens when the file cannot be made.
void ReplaceFile(const std::string& path, const QByteArray& bytes)
{
    QSaveFile file(QString::fromStdString(path));
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size())
        file.commit();
}

} // namespace

void Board::TakeFrame(int waitMs)
{
    unsigned char head[2];
    if (!mTerminal.ReadExactly(head, 1, waitMs))
        return;
    if (!mTerminal.ReadExactly(head + 1, 1, REST_OF_FRAME_WAIT_MS))
    {
        if (!StopRequested())
            Error("frame cut off after 1 byte");
        return;
    }
    const size_t length = (size_t(head[0]) << 8) | head[1];
    if (length < SHORTEST_FRAME || length > LONGEST_FRAME)
    {
        Error("frame length " + std::to_string(length) + " out of range");
        // There is no way to find the next frame's start: drop what follows at once.
        mTerminal.DiscardInput();
        FailTransfer("frame length out of range", true);
        WriteReport();
        return;
    }
    Frame frame(length);
    frame[0] = head[0];
    frame[1] = head[1];
    if (mTerminal.ReadExactly(frame.data() + 2, length - 2, REST_OF_FRAME_WAIT_MS))
    {
        HandleFrame(frame);
    }
    else if (!StopRequested())
    {
        Error("frame of " + std::to_string(length) + " bytes cut off");
        FailTransfer("frame cut off", false);
        WriteReport();
    }
}

void Board::HandleFrame(const Frame& frame)
{
    mRecord.frames++;
    const int command = frame[2];
    if (IsQuery(command))
    {
        EndTransfer(Outcome::Incomplete, "a query came during the transfer");
        if (!AnswerQuery(frame))
            return;
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
        WriteReport();
}

// False for a malformed query: it is recorded as an error and gets no answer.
bool Board::AnswerQuery(const Frame& frame)
{
    const uint32_t bootloader = mOptions.bootloader;
    switch (frame[2])
    {
    case VERSION_QUERY:
        return QuerySizeIs(frame, 3, "version") &&
               Answered(mRecord.versionQueries, "version query", mOptions.versionAnswer);
    case BOOTLOADER_QUERY:
        return QuerySizeIs(frame, 3, "bootloader") &&
               Answered(mRecord.bootloaderQueries, "bootloader version query",
                        {static_cast<unsigned char>(bootloader),
                         static_cast<unsigned char>(bootloader >> 8),
                         static_cast<unsigned char>(bootloader >> 16),
                         static_cast<unsigned char>(bootloader >> 24)});
    case PIN_QUERY:
        return QuerySizeIs(frame, 4, "pin") &&
               Answered(mRecord.pinQueries, "pin query " + std::to_string(frame[3]),
                        {mOptions.pinLevels[frame[3]]});
    default:
        return IsBoardIdQuery(frame) &&
               Answered(mRecord.boardIdQueries, "board ID query " + std::to_string(frame[7]),
                        {mOptions.boardId});
    }
}

bool Board::QuerySizeIs(const Frame& frame, size_t size, const char* query)
{
    if (frame.size() == size)
        return true;
    Error(std::string(query) + " query of " + std::to_string(frame.size()) + " bytes");
    return false;
}

bool Board::IsBoardIdQuery(const Frame& frame)
{
    const unsigned char fixed[] = {0x00, 0x0B, BOARD_ID_QUERY, 0x00, 0x00, 0x00, 0x01};
    if (frame.size() == 11 && std::memcmp(frame.data(), fixed, sizeof fixed) == 0 &&
        frame[8] == 0x10 && frame[9] == 0 && frame[10] == 0)
        return true;
    Error("malformed board ID query");
    return false;
}

bool Board::Answered(int& count, const std::string& query, const Frame& answer)
{
    count++;
    Verbose("%s", query.c_str());
    Answer(answer);
    return true;
}

void Board::HandleTransferFrame(const Frame& frame)
{
    if (frame.size() < 4)
    {
        Error("transfer frame of " + std::to_string(frame.size()) + " bytes has no type");
        return;
    }
    const int type = frame[3];
    Transfer& transfer = TransferFor(frame[2], type);
    transfer.frameLengths.push_back(static_cast<int>(frame.size()));

    const bool statusBearing = type == HEADER_MESSAGE || type == DATA_MESSAGE;
    const std::string problem = TakeMessage(transfer, frame);
    if (!problem.empty())
    {
        Error(problem);
        FailTransfer(problem, statusBearing);
    }
    else if (statusBearing)
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
    const bool opener = type == BOOTLOADER_MESSAGE || type == VERSION_MESSAGE ||
                        (type == HEADER_MESSAGE && command != VERSIONED_TRANSFER);
    if (!continues && opener)
        EndTransfer(Outcome::Incomplete, "a new transfer began");
    if (!mInTransfer)
    {
        mRecord.transfers.emplace_back();
        mRecord.transfers.back().command = command;
        mInTransfer = true;
    }
    return mRecord.transfers.back();
}

void Board::AnswerStatusMessage(Transfer& transfer, int type)
{
    transfer.statusMessages++;
    Verbose("%s message %d: %zu of %u image bytes", type == HEADER_MESSAGE ? "header" : "data",
            transfer.statusMessages, transfer.received.size(), transfer.length);
    if (transfer.statusMessages == mOptions.refuseAt)
    {
        AnswerStatus(mOptions.refuseStatus);
        EndTransfer(Outcome::Refused, "refused with status " +
                                          std::to_string(mOptions.refuseStatus) + " at message " +
                                          std::to_string(mOptions.refuseAt));
        return;
    }
    // Full before the status goes out: the updater's next message must find no room.
    if (transfer.statusMessages == mOptions.stopReadingAt)
        StopReading();
    const bool answered = AnswerStatus(ACCEPTED);
    // The whole image came, but the board may have kept its last status to itself: the updater
    // cannot have taken the transfer as accepted then.
    if (transfer.received.size() >= transfer.length && answered)
        EndTransfer(Outcome::Complete, "");
    else if (transfer.received.size() >= transfer.length)
        EndTransfer(Outcome::Unanswered, "no status for the last message");
}

void Board::StopReading()
{
    Verbose("filling the input and reading no more");
    mTerminal.FillInput();
    mStoppedReading = true;
}

void Board::Answer(Frame bytes)
{
    if (mOptions.silent)
    {
        Verbose("silent: no answer");
        return;
    }
    bytes.insert(bytes.end(), static_cast<size_t>(mOptions.extra), 0xA5);
    if (mOptions.delayMs > 0)
        PauseUnlessStopped(mOptions.delayMs);
    if (mTerminal.WriteAll(bytes))
        Verbose("answered %zu bytes", bytes.size());
}

bool Board::AnswerStatus(unsigned char status)
{
    if (mOptions.silentFrom > 0 && mRecord.transfers.back().statusMessages >= mOptions.silentFrom)
    {
        Verbose("silent from status message %d: no status", mOptions.silentFrom);
        return false;
    }
    Answer({status});
    return !mOptions.silent;
}

void Board::Error(const std::string& text)
{
    Verbose("error: %s", text.c_str());
    mRecord.errors.push_back(text);
}

void Board::FailTransfer(const std::string& reason, bool statusDue)
{
    if (!mInTransfer)
        return;
    if (statusDue)
    {
        mRecord.transfers.back().statusMessages++;
        AnswerStatus(ERROR_STATUS);
    }
    EndTransfer(Outcome::Error, reason);
}

void Board::EndTransfer(Outcome outcome, const std::string& error)
{
    if (!mInTransfer)
        return;
    mInTransfer = false;
    Transfer& transfer = mRecord.transfers.back();
    transfer.outcome = outcome;
    transfer.error = error;
    transfer.receivedChecksum = Sum(transfer.received, 0);
    const bool ranToTheEnd = outcome == Outcome::Complete || outcome == Outcome::Unanswered;
    transfer.intact = ranToTheEnd && transfer.headerSeen &&
                      transfer.received.size() == transfer.length &&
                      transfer.receivedChecksum == transfer.announcedChecksum;
    if (ranToTheEnd && !transfer.intact)
    {
        transfer.error = "image checksum mismatch";
        Error(transfer.error);
    }
    Verbose("transfer %s: %zu of %u bytes%s%s", OutcomeName(outcome), transfer.received.size(),
            transfer.length, transfer.error.empty() ? "" : ": ", transfer.error.c_str());
    if (!mOptions.image.empty())
        ReplaceFile(mOptions.image,
                    QByteArray(reinterpret_cast<const char*>(transfer.received.data()),
                               static_cast<int>(transfer.received.size())));
    WriteReport();
}

void Board::Finish()
{
    EndTransfer(Outcome::Incomplete, "the simulator stopped during the transfer");
    WriteReport();
}

void Board::WriteReport()
{
    if (!mOptions.report.empty())
        ReplaceFile(mOptions.report,
                    ReportJson(QString::fromStdString(mTerminal.SlavePath()), mRecord));
}

int Board::ExitStatus() const
{
    for (const Transfer& transfer : mRecord.transfers)
    {
        if (transfer.outcome != Outcome::Complete || !transfer.intact)
            return 1;
    }
    return 0;
}
