#include "USBVersionInterrogator.h"

#include "BoardStream.h"
#include "UpdateLimits.h"

#include <QDebug>
#include <cerrno>
#include <cstring>

// Every query is one exchange on the one stream: discard what an earlier answer left behind,
// write the request frame with one buffered write, flush it to the device, then read the answer,
// giving up after BOARD_QUERY_WAIT_MS (a late answer counts as a read that delivered nothing).

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
    BoardStream::DiscardPendingInput(mDeviceFile);
    if (std::fwrite(request, 1, sizeof request, mDeviceFile) != sizeof request)
    {
        qDebug() << "Failed to write get version string";
    }
    if (std::fflush(mDeviceFile) != 0)
    {
        qDebug() << "Failed to flush get version request";
    }

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
    BoardStream::DiscardPendingInput(mDeviceFile);
    if (std::fwrite(request, 1, sizeof request, mDeviceFile) != sizeof request)
    {
        qDebug() << "Error Tx File";
    }
    if (std::fflush(mDeviceFile) != 0)
    {
        qDebug() << "Failed to flush get board ID request";
    }

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
    BoardStream::DiscardPendingInput(mDeviceFile);
    if (std::fwrite(request, 1, sizeof request, mDeviceFile) != sizeof request)
    {
        qDebug() << "Error Tx File -" << std::strerror(errno);
    }
    if (std::fflush(mDeviceFile) != 0)
    {
        qDebug() << "Flush failed";
    }

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
    BoardStream::DiscardPendingInput(mDeviceFile);
    if (std::fwrite(request, 1, sizeof request, mDeviceFile) != sizeof request)
    {
        qDebug() << "Failed to write get bootloader version";
    }
    if (std::fflush(mDeviceFile) != 0)
    {
        qDebug() << "Failed to flush get bootloader version request";
    }

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
