#include "Board.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QtEndian>
#include <algorithm>
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

// Message types, in the order of their codes
enum MessageType
{
    HEADER_MESSAGE,
    DATA_MESSAGE,
    VERSION_MESSAGE,
    BOOTLOADER_MESSAGE
};
const char* const MESSAGE_NAMES[] = {"header", "data", "version", "bootloader"};

const size_t SHORTEST_FRAME = 3;
const size_t LONGEST_FRAME = 512;
const size_t HEADER_HEAD = 16; // frame head, type, checksum, image length, image checksum
const size_t DATA_HEAD = 8;    // frame head, type, checksum
const unsigned char ACCEPTED = 0;
const unsigned char ERROR_STATUS = 0xEE;

// The rest of a frame follows at once: the updater writes each frame in one write.
const int REST_OF_FRAME_WAIT_MS = 2000;

const char* const OUTCOME_NAMES[] = {"complete", "refused", "error", "unanswered",
                                     "incomplete"}; // as Outcome orders them

uint32_t BigEndian32(const unsigned char* at)
{
    return qFromBigEndian<quint32>(at);
}

uint32_t Sum(Bytes::const_iterator from, Bytes::const_iterator to)
{
    return std::accumulate(from, to, uint32_t(0));
}

bool IsBoardIdQuery(Bytes frame)
{
    if (frame.size() == 11)
        frame[7] = 0; // the board asked about
    return frame == Bytes{0x00, 0x0B, BOARD_ID_QUERY, 0x00, 0x00, 0x00, 0x01, 0x00, 0x10, 0, 0};
}

// The version text goes out as 12 NUL-padded bytes, unless --version-hex gave the bytes.
Bytes VersionAnswer(const Options& options)
{
    if (options.versionHex)
        return *options.versionHex;
    Bytes answer(options.versionText.begin(), options.versionText.end());
    answer.resize(12); // NUL-padded, or cut
    return answer;
}

// Whether a message of this type may follow one of lastType (-1: none yet) in a transfer with
// this command code.
bool MayFollow(int command, int lastType, int type)
{
    switch (lastType)
    {
    case -1:
        if (command == VERSIONED_TRANSFER)
            return type == BOOTLOADER_MESSAGE || type == VERSION_MESSAGE;
        return type == HEADER_MESSAGE;
    case BOOTLOADER_MESSAGE:
        return type == VERSION_MESSAGE;
    case VERSION_MESSAGE:
        return type == HEADER_MESSAGE;
    default:
        return type == DATA_MESSAGE;
    }
}

// The size a message of its type must have: a header's follows from the image length in it.
size_t ExpectedSize(const Transfer& transfer, const Bytes& frame)
{
    switch (frame[3])
    {
    case BOOTLOADER_MESSAGE:
        return 4;
    case VERSION_MESSAGE:
        return 7;
    case HEADER_MESSAGE:
        if (frame.size() < HEADER_HEAD)
            return HEADER_HEAD;
        return HEADER_HEAD + std::min<size_t>(BigEndian32(&frame[8]), LONGEST_FRAME - HEADER_HEAD);
    default:
        return DATA_HEAD + std::min<size_t>(transfer.length - transfer.received.size(),
                                            LONGEST_FRAME - DATA_HEAD);
    }
}

// Returns what is wrong with the message, or "" when it was taken.
std::string TakeMessage(Transfer& transfer, const Bytes& frame)
{
    const int type = frame[3];
    if (type > BOOTLOADER_MESSAGE)
        return "unknown message type " + std::to_string(type);
    const std::string message = MESSAGE_NAMES[type] + std::string(" message");
    // A transfer keeps the command code it began with.
    if (frame[2] != transfer.command || !MayFollow(transfer.command, transfer.lastType, type))
        return message + " out of order";
    if (frame.size() != ExpectedSize(transfer, frame))
        return message + " of " + std::to_string(frame.size()) + " bytes";
    const bool carriesImage = type == HEADER_MESSAGE || type == DATA_MESSAGE;
    // Its checksum covers everything after it.
    if (carriesImage && BigEndian32(&frame[4]) != Sum(frame.begin() + 8, frame.end()))
        return message + " checksum mismatch";
    if (type == VERSION_MESSAGE && frame[6] != 0)
        return message + " without its closing 00";
    transfer.lastType = type;
    if (type == VERSION_MESSAGE)
        transfer.version = QJsonArray{frame[4], frame[5]};
    if (type == HEADER_MESSAGE)
    {
        transfer.length = BigEndian32(&frame[8]);
        transfer.imageChecksum = BigEndian32(&frame[12]);
    }
    const size_t head = type == HEADER_MESSAGE ? HEADER_HEAD : DATA_HEAD;
    if (carriesImage)
        transfer.received.insert(transfer.received.end(), frame.begin() + head, frame.end());
    return "";
}

// A reader never sees half a file. Nothing happens when the file cannot be made.
void ReplaceFile(const std::string& path, const QByteArray& bytes)
{
    QSaveFile file(QString::fromStdString(path));
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size())
        file.commit();
}

} // namespace

void Board::Serve()
{
    while (!StopRequested())
    {
        if (mStoppedReading)
            PauseUnlessStopped(-1);
        // A transfer's report is written when it ends: one per message would make a long
        // transfer quadratic.
        else if (TakeFrame() && !mInTransfer)
            WriteReport();
    }
}

// False when no frame began.
bool Board::TakeFrame()
{
    Bytes frame(2);
    if (!mTerminal.ReadExactly(&frame[0], 1, -1))
        return false;
    if (!mTerminal.ReadExactly(&frame[1], 1, REST_OF_FRAME_WAIT_MS))
        return CutOff();
    const size_t length = (size_t(frame[0]) << 8) | frame[1];
    if (length < SHORTEST_FRAME || length > LONGEST_FRAME)
    {
        // There is no way to find the next frame's start: drop what follows at once.
        mTerminal.DiscardInput();
        Fail("frame length " + std::to_string(length) + " out of range", true);
        return true;
    }
    frame.resize(length);
    if (!mTerminal.ReadExactly(&frame[2], length - 2, REST_OF_FRAME_WAIT_MS))
        return CutOff();
    HandleFrame(frame);
    return true;
}

bool Board::CutOff()
{
    if (!StopRequested())
        Fail("frame cut off", false);
    return true;
}

void Board::HandleFrame(const Bytes& frame)
{
    mFrames++;
    Bytes bootloader(4);
    qToLittleEndian<quint32>(static_cast<quint32>(mOptions.bootloader), bootloader.data());
    switch (frame[2])
    {
    case MODE_0_TRANSFER:
    case MODE_1_TRANSFER:
    case VERSIONED_TRANSFER:
        return HandleMessage(frame);
    case VERSION_QUERY:
        return AnswerQuery("version", frame.size() == 3, VersionAnswer(mOptions));
    case BOOTLOADER_QUERY:
        return AnswerQuery("bootloader", frame.size() == 3, bootloader);
    case PIN_QUERY: // the pin asked about is the last byte
        return AnswerQuery("pin", frame.size() == 4, {mOptions.pinLevels[frame.back()]});
    case BOARD_ID_QUERY:
        return AnswerQuery("board_id", IsBoardIdQuery(frame),
                           {static_cast<unsigned char>(mOptions.boardId)});
    default:
        return Error("unknown command code " + std::to_string(frame[2]));
    }
}

// A query ends a running transfer; a malformed one gets no answer.
void Board::AnswerQuery(const char* name, bool wellFormed, const Bytes& answer)
{
    EndTransfer(Outcome::Incomplete, "a query came during the transfer");
    if (!wellFormed)
        return Error(std::string("malformed ") + name + " query");
    mQueries[name] = mQueries[name].toInt() + 1;
    Answer(answer);
}

void Board::HandleMessage(const Bytes& frame)
{
    if (frame.size() < 4)
        return Error("transfer frame without a message type");
    const int type = frame[3];
    Transfer& transfer = TransferFor(frame[2], type);
    transfer.frameLengths.append(static_cast<int>(frame.size()));
    const bool statusDue = type == HEADER_MESSAGE || type == DATA_MESSAGE;
    const std::string problem = TakeMessage(transfer, frame);
    if (!problem.empty())
        Fail(problem, statusDue);
    else if (statusDue)
        AnswerStatusMessage(transfer);
}

// Does the frame go on with the running transfer, or open a new one (the updater gave up on
// the earlier one)?
Transfer& Board::TransferFor(int command, int type)
{
    const bool continues = mInTransfer && command == mTransfers.back().command &&
                           MayFollow(command, mTransfers.back().lastType, type);
    if (!continues && MayFollow(command, -1, type))
        EndTransfer(Outcome::Incomplete, "a new transfer began");
    if (!mInTransfer)
    {
        mTransfers.emplace_back();
        mTransfers.back().command = command;
        mInTransfer = true;
    }
    return mTransfers.back();
}

void Board::AnswerStatusMessage(Transfer& transfer)
{
    transfer.statusMessages++;
    if (transfer.statusMessages == mOptions.refuseAt)
    {
        AnswerStatus(static_cast<unsigned char>(mOptions.refuseStatus));
        return EndTransfer(Outcome::Refused,
                           "refused at message " + std::to_string(mOptions.refuseAt));
    }
    // Full before the status goes out: the updater's next message must find no room.
    if (transfer.statusMessages == mOptions.stopReadingAt)
        StopReading();
    const bool answered = AnswerStatus(ACCEPTED);
    if (transfer.received.size() < transfer.length)
        return;
    // The whole image came, but the board may have kept its last status to itself: the updater
    // cannot have taken the transfer as accepted then.
    if (answered)
        EndTransfer(Outcome::Complete, "");
    else
        EndTransfer(Outcome::Unanswered, "no status for the last message");
}

void Board::StopReading()
{
    mTerminal.FillInput();
    mStoppedReading = true;
}

void Board::Answer(Bytes bytes)
{
    if (mOptions.silent)
        return;
    bytes.insert(bytes.end(), static_cast<size_t>(mOptions.extra), 0xA5);
    PauseUnlessStopped(mOptions.delayMs);
    mTerminal.WriteAll(bytes);
}

bool Board::AnswerStatus(unsigned char status)
{
    if (mOptions.silentFrom > 0 && mTransfers.back().statusMessages >= mOptions.silentFrom)
        return false;
    Answer({status});
    return !mOptions.silent;
}

void Board::Error(const std::string& text)
{
    mErrors.append(QString::fromStdString(text));
}

void Board::Fail(const std::string& problem, bool statusDue)
{
    Error(problem);
    if (!mInTransfer)
        return;
    if (statusDue)
    {
        mTransfers.back().statusMessages++;
        AnswerStatus(ERROR_STATUS);
    }
    EndTransfer(Outcome::Error, problem);
}

void Board::EndTransfer(Outcome outcome, const std::string& error)
{
    if (!mInTransfer)
        return;
    mInTransfer = false;
    Transfer& transfer = mTransfers.back();
    transfer.outcome = outcome;
    transfer.error = error;
    const Bytes& image = transfer.received;
    const bool ranToTheEnd = outcome == Outcome::Complete || outcome == Outcome::Unanswered;
    transfer.intact = ranToTheEnd && Sum(image.begin(), image.end()) == transfer.imageChecksum;
    if (ranToTheEnd && !transfer.intact)
    {
        transfer.error = "image checksum mismatch";
        Error(transfer.error);
    }
    if (!mOptions.image.empty())
        ReplaceFile(mOptions.image, QByteArray(reinterpret_cast<const char*>(image.data()),
                                               static_cast<int>(image.size())));
}

int Board::Finish()
{
    EndTransfer(Outcome::Incomplete, "the simulator stopped during the transfer");
    WriteReport();
    for (const Transfer& transfer : mTransfers)
    {
        if (transfer.outcome != Outcome::Complete || !transfer.intact)
            return 1;
    }
    return 0;
}

void Board::WriteReport() const
{
    if (mOptions.report.empty())
        return;
    QJsonArray transfers;
    for (const Transfer& transfer : mTransfers)
    {
        transfers.append(QJsonObject{{"command", transfer.command},
                                     {"version", transfer.version},
                                     {"frame_lengths", transfer.frameLengths},
                                     {"result", OUTCOME_NAMES[static_cast<int>(transfer.outcome)]},
                                     {"error", QString::fromStdString(transfer.error)},
                                     {"intact", transfer.intact}});
    }
    const QJsonObject report{{"frames", mFrames},
                             {"queries", mQueries},
                             {"errors", QJsonArray::fromStringList(mErrors)},
                             {"transfers", transfers}};
    ReplaceFile(mOptions.report, QJsonDocument(report).toJson());
}
