#include "USBVersionInterrogator.h"

#include "BoardStream.h"
#include "UpdateLimits.h"

#include <QDebug>
#include <cerrno>
#include <cstddef>
#include <cstring>

// Every query is one exchange on the one stream: discard what an earlier answer left behind,
// write the request frame with one buffered write, flush it to the device, then read the answer,
// giving up after BOARD_QUERY_WAIT_MS (a late answer counts as a read that delivered nothing).

namespace
{

enum class WriteFailure
{
    Plain,
    WithCause // the pin query's line also says why the write failed
};

struct FailureLines
{
    const char* write;
    const char* flush;
    WriteFailure writeFailure = WriteFailure::Plain;
};

// Every log line names the function it comes from: the failure lines name the query, not this
// helper, so they read as they did when each query wrote its own.
template <std::size_t N>
void SendRequest(FILE* device, const UBYTE (&request)[N], const char* function,
                 const FailureLines& lines)
{
    BoardStream::DiscardPendingInput(device);
    if (std::fwrite(request, 1, N, device) != N)
    {
        if (lines.writeFailure == WriteFailure::WithCause)
        {
            QMessageLogger(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, function).debug()
                << lines.write << std::strerror(errno);
        }
        else
        {
            QMessageLogger(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, function).debug() << lines.write;
        }
    }
    if (std::fflush(device) != 0)
    {
        QMessageLogger(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, function).debug() << lines.flush;
    }
}

} // namespace

cUSBInterrogator::cUSBInterrogator(const char* devicePath)
    : mDeviceFile(std::fopen(devicePath, "wb+")), mDeviceOpen(mDeviceFile != nullptr)
{
    if (!mDeviceOpen)
    {
        qDebug() << "Failed to open " << devicePath;
    }
}

cUSBInterrogator::~cUSBInterrogator()
{
    if (mDeviceOpen)
    {
        std::fclose(mDeviceFile);
    }
}

QString cUSBInterrogator::GetVersion()
{
    if (!mDeviceOpen)
    {
        return QString();
    }
    const UBYTE request[] = {0x00, 0x03, 0x01};
    SendRequest(mDeviceFile, request, QT_MESSAGELOG_FUNC,
                {"Failed to write get version string", "Failed to flush get version request"});

    char version[12] = {};
    BoardStream::ReadWithin(mDeviceFile, version, sizeof version, BOARD_QUERY_WAIT_MS);
    version[11] = '\0';
    return QString::fromLatin1(version);
}

UBYTE cUSBInterrogator::GetBoardID(UBYTE board)
{
    if (!mDeviceOpen)
    {
        return 0;
    }
    const UBYTE request[] = {0x00, 0x0B, 0x02, 0x00, 0x00, 0x00, 0x01, board, 0x10, 0x00, 0x00};
    SendRequest(mDeviceFile, request, QT_MESSAGELOG_FUNC,
                {"Error Tx File", "Failed to flush get board ID request"});

    UBYTE id = 0;
    if (BoardStream::ReadWithin(mDeviceFile, &id, 1, BOARD_QUERY_WAIT_MS).count == 1)
    {
        qDebug() << "ID = " << static_cast<unsigned>(id);
        return id;
    }
    qDebug() << "Error reading board ID response";
    return 0;
}

bool cUSBInterrogator::GetPortPin(unsigned char pin)
{
    if (!mDeviceOpen)
    {
        return false;
    }
    const UBYTE request[] = {0x00, 0x04, 0x0A, pin};
    SendRequest(mDeviceFile, request, QT_MESSAGELOG_FUNC,
                {"Error Tx File -", "Flush failed", WriteFailure::WithCause});

    // A read that delivers nothing leaves the level at 0 (low).
    UBYTE level = 0;
    BoardStream::ReadWithin(mDeviceFile, &level, 1, BOARD_QUERY_WAIT_MS);
    qDebug() << "PinId =" << static_cast<unsigned>(pin)
             << "Result =" << static_cast<unsigned>(level);
    if (level == 0)
    {
        return false;
    }
    if (level != 1)
    {
        qDebug() << "Unexpected pin value:" << static_cast<unsigned>(level);
    }
    return true;
}

ULONG cUSBInterrogator::GetBootloaderVersion()
{
    if (!mDeviceOpen)
    {
        return 0;
    }
    const UBYTE request[] = {0x00, 0x03, 0x20};
    SendRequest(mDeviceFile, request, QT_MESSAGELOG_FUNC,
                {"Failed to write get bootloader version",
                 "Failed to flush get bootloader version request"});

    // Host order (little-endian on the box); bytes that did not come stay 0.
    ULONG version = 0;
    if (BoardStream::ReadWithin(mDeviceFile, &version, sizeof version, BOARD_QUERY_WAIT_MS).count >
        0)
    {
        qDebug() << "Bootloader Version = " << version;
        return version;
    }
    qDebug() << "Error reading bootloader version response";
    return 0;
}
