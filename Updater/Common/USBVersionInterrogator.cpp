#include "USBVersionInterrogator.h"

#include "BoardProtocol.h"
#include "BoardStream.h"
#include "Deadline.h"
#include "StepLogger.h"
#include "UpdateLimits.h"

#include <QDebug>
#include <cstddef>

// Every query is one exchange on the one stream: discard what an earlier answer left behind,
// hand the request frame to the device in one write, then read the answer. One deadline of
// BOARD_QUERY_WAIT_MS covers both, so a board that takes no bytes or gives no answer delays the
// caller by one wait: the query then counts as unanswered (a read that delivered nothing). A
// board that another program holds is waited for once more as long, when the object is made.

namespace
{

// The frame is whole in the request; getting it to the device is what used to be the flush, so
// a device that fails or does not take it in time logs the query's flush failure.
template <std::size_t N>
void SendRequest(FILE* device, const UBYTE (&request)[N], const cDeadline& deadline,
                 const QMessageLogger& log, const char* flushFailure)
{
    BoardStream::DiscardPendingInput(device);
    if (BoardStream::WriteWithin(device, request, N, deadline).count != N)
    {
        log.debug() << flushFailure;
    }
}

} // namespace

cUSBInterrogator::cUSBInterrogator(const char* devicePath)
    : mDeviceFile(BoardStream::OpenDevice(devicePath, BOARD_QUERY_WAIT_MS, STEP_LOGGER())),
      mDeviceOpen(mDeviceFile != nullptr)
{
    if (!mDeviceOpen)
    {
        qDebug() << "Failed to open " << devicePath;
    }
}

cUSBInterrogator::~cUSBInterrogator()
{
    BoardStream::CloseDevice(mDeviceFile);
}

QString cUSBInterrogator::GetVersion()
{
    if (!mDeviceOpen)
    {
        return QString();
    }
    const cDeadline deadline(BOARD_QUERY_WAIT_MS);
    const UBYTE request[] = {0x00, 0x03, COMMAND_VERSION};
    SendRequest(mDeviceFile, request, deadline, STEP_LOGGER(),
                "Failed to flush get version request");

    char version[12] = {};
    BoardStream::ReadWithin(mDeviceFile, version, sizeof version, deadline);
    version[11] = '\0';
    return QString::fromLatin1(version);
}

UBYTE cUSBInterrogator::GetBoardID(UBYTE board)
{
    if (!mDeviceOpen)
    {
        return 0;
    }
    const cDeadline deadline(BOARD_QUERY_WAIT_MS);
    const UBYTE request[] = {0x00, 0x0B, COMMAND_BOARD_ID, 0x00, 0x00, 0x00, 0x01, board, 0x10,
                             0x00, 0x00};
    SendRequest(mDeviceFile, request, deadline, STEP_LOGGER(),
                "Failed to flush get board ID request");

    UBYTE id = 0;
    if (BoardStream::ReadWithin(mDeviceFile, &id, 1, deadline).count == 1)
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
    const cDeadline deadline(BOARD_QUERY_WAIT_MS);
    const UBYTE request[] = {0x00, 0x04, COMMAND_PORT_PIN, pin};
    SendRequest(mDeviceFile, request, deadline, STEP_LOGGER(), "Flush failed");

    // A read that delivers nothing leaves the level at 0 (low).
    UBYTE level = 0;
    BoardStream::ReadWithin(mDeviceFile, &level, 1, deadline);
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
    const cDeadline deadline(BOARD_QUERY_WAIT_MS);
    const UBYTE request[] = {0x00, 0x03, COMMAND_BOOTLOADER_VERSION};
    SendRequest(mDeviceFile, request, deadline, STEP_LOGGER(),
                "Failed to flush get bootloader version request");

    // Host order (little-endian on the box); bytes that did not come stay 0.
    ULONG version = 0;
    if (BoardStream::ReadWithin(mDeviceFile, &version, sizeof version, deadline).count > 0)
    {
        qDebug() << "Bootloader Version = " << version;
        return version;
    }
    qDebug() << "Error reading bootloader version response";
    return 0;
}
