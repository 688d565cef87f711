#include "USBDeviceUpdater.h"

#include "BoardStream.h"
#include "UpdateLimits.h"
#include "UpdatePaths.h"

#include <QDebug>
#include <QString>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace
{
constexpr std::size_t MESSAGE_SIZE = 512;
constexpr std::uint32_t HEADER_OVERHEAD = 16; // head, type, header checksum, length, image sum
constexpr std::uint32_t DATA_OVERHEAD = 8;    // head, type, data checksum
constexpr std::uint32_t HEADER_PAYLOAD = MESSAGE_SIZE - HEADER_OVERHEAD; // 496
constexpr std::uint32_t DATA_PAYLOAD = MESSAGE_SIZE - DATA_OVERHEAD;     // 504

constexpr float BOOTLOADER_VERSION = 9.9f;

enum eMessageType : unsigned char
{
    MESSAGE_HEADER = 0,
    MESSAGE_DATA = 1,
    MESSAGE_VERSION = 2,
    MESSAGE_BOOTLOADER = 3
};

void PutBigEndian16(unsigned char* at, std::uint32_t value)
{
    at[0] = static_cast<unsigned char>(value >> 8);
    at[1] = static_cast<unsigned char>(value);
}

void PutBigEndian32(unsigned char* at, std::uint32_t value)
{
    at[0] = static_cast<unsigned char>(value >> 24);
    at[1] = static_cast<unsigned char>(value >> 16);
    at[2] = static_cast<unsigned char>(value >> 8);
    at[3] = static_cast<unsigned char>(value);
}

std::uint32_t ByteSum(const unsigned char* bytes, std::size_t count)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < count; ++i)
    {
        sum += bytes[i];
    }
    return sum;
}

QString Hex(std::uint32_t value)
{
    return QStringLiteral("0x%1").arg(value, 0, 16);
}
} // namespace

const DeviceUpdateLookupEntry cUSBDeviceUpdater::mDeviceUpdateLookup[13] = {
    {BOX_PATH("/dev/qv_core_rack"), 1.0f, 9.9f, 0},
    {BOX_PATH("/dev/qv_dig_audio"), 1.0f, 9.9f, 0},
    {BOX_PATH("/dev/qv_processing"), 1.0f, 2.8f, 0},
    {BOX_PATH("/dev/qv_processing"), 2.9f, 9.9f, 2},
    {BOX_PATH("/dev/qv_motor_left"), 1.0f, 3.1f, 0},
    {BOX_PATH("/dev/qv_motor_left"), 3.2f, 3.3f, 1},
    {BOX_PATH("/dev/qv_motor_left"), 3.4f, 9.9f, 2},
    {BOX_PATH("/dev/qv_motor_mid"), 1.0f, 3.1f, 0},
    {BOX_PATH("/dev/qv_motor_mid"), 3.2f, 3.3f, 1},
    {BOX_PATH("/dev/qv_motor_mid"), 3.4f, 9.9f, 2},
    {BOX_PATH("/dev/qv_motor_right"), 1.0f, 3.1f, 0},
    {BOX_PATH("/dev/qv_motor_right"), 3.2f, 3.3f, 1},
    {BOX_PATH("/dev/qv_motor_right"), 3.4f, 9.9f, 2},
};

cUSBDeviceUpdater::cUSBDeviceUpdater(const char* devicePath, const char* firmwarePath,
                                     float version, bool updateBootloader)
    : mDeviceFile(nullptr), mFirmwareFile(nullptr), mDevicePath(devicePath),
      mFirmwarePath(firmwarePath), mFirmwareVersion(version), mUpdateBootloader(updateBootloader),
      mFirmwareOpen(false), mDeviceOpen(false)
{
    if (mUpdateBootloader)
    {
        qDebug() << "Update Bootloater";
        mFirmwareVersion = BOOTLOADER_VERSION;
    }
    qDebug() << "FW V" << mFirmwareVersion;
    SetupFiles();
}

cUSBDeviceUpdater::cUSBDeviceUpdater(const char* devicePath, const char* firmwarePath,
                                     const char* versionFilePath, bool updateBootloader)
    : mDeviceFile(nullptr), mFirmwareFile(nullptr), mDevicePath(devicePath),
      mFirmwarePath(firmwarePath), mFirmwareVersion(BOOTLOADER_VERSION),
      mUpdateBootloader(updateBootloader), mFirmwareOpen(false), mDeviceOpen(false)
{
    FILE* versionFile = std::fopen(versionFilePath, "rb+");
    if (mUpdateBootloader)
    {
        qDebug() << "Update Bootloater";
        mFirmwareVersion = BOOTLOADER_VERSION;
    }
    else if (versionFile == nullptr)
    {
        // Not scanned, not closed: there is nothing to read the version from.
        qDebug() << "Couldn't open firmware version file" << versionFilePath;
        qDebug() << "Error reading firmware version file";
        mFirmwareVersion = BOOTLOADER_VERSION;
    }
    else
    {
        char name[12] = {};
        float version = 0.0f;
        // The field width keeps a long name token inside the buffer. Only a scan that read both
        // the name and the version counts; anything less leaves no version to use.
        if (std::fscanf(versionFile, "%11s %f", name, &version) == 2)
        {
            qDebug() << "Read:" << name << version;
            mFirmwareVersion = version;
        }
        else
        {
            qDebug() << "Error reading firmware version file";
            mFirmwareVersion = BOOTLOADER_VERSION;
        }
    }
    if (versionFile != nullptr)
    {
        std::fclose(versionFile);
    }
    SetupFiles();
}

void cUSBDeviceUpdater::SetupFiles()
{
    mDeviceFile = nullptr;
    mFirmwareFile = nullptr;
    mDeviceFile = std::fopen(mDevicePath, "wb+");
    mFirmwareFile = std::fopen(mFirmwarePath, "rb+");

    mFirmwareOpen = mFirmwareFile != nullptr;
    qDebug() << (mFirmwareOpen ? "Successfully opened firmware" : "Couldn't open firmware");
    mDeviceOpen = mDeviceFile != nullptr;
    qDebug() << (mDeviceOpen ? "Successfully opened device" : "Couldn't open device");
}

cUSBDeviceUpdater::~cUSBDeviceUpdater()
{
    if (mDeviceFile != nullptr)
    {
        std::fclose(mDeviceFile);
    }
    if (mFirmwareFile != nullptr)
    {
        std::fclose(mFirmwareFile);
    }
}

bool cUSBDeviceUpdater::UpdateFirmware(int updateMode)
{
    if (!mDeviceOpen || !mFirmwareOpen)
    {
        return false;
    }

    unsigned char message[MESSAGE_SIZE] = {};

    // The image checksum, byte by byte over the whole file.
    std::fseek(mFirmwareFile, 0, SEEK_END);
    const long end = std::ftell(mFirmwareFile);
    const std::uint32_t length = end > 0 ? static_cast<std::uint32_t>(end) : 0;
    std::rewind(mFirmwareFile);
    std::uint32_t imageChecksum = 0;
    for (std::uint32_t i = 0; i < length; ++i)
    {
        unsigned char byte = 0;
        if (std::fread(&byte, 1, 1, mFirmwareFile) == 1)
        {
            imageChecksum += byte;
        }
    }
    std::rewind(mFirmwareFile);

    unsigned char command;
    eMessageType type;
    switch (updateMode)
    {
    case 0:
        command = 0x0C;
        type = MESSAGE_HEADER;
        break;
    case 1:
        command = 0x18;
        type = MESSAGE_HEADER;
        break;
    default:
        command = 0x19;
        type = MESSAGE_VERSION;
        break;
    }

    if (mUpdateBootloader)
    {
        if (updateMode <= 1)
        {
            qDebug() << "Incompatible firmware for bootloader update";
            return false;
        }
        qDebug() << "UpdateBoot";
        type = MESSAGE_BOOTLOADER;
    }

    if (length == 0)
    {
        return true;
    }

    std::uint32_t offset = 0;
    while (offset < length)
    {
        std::uint32_t messageLength = 0;
        std::uint32_t payload = 0; // image bytes this message carries
        message[2] = command;
        message[3] = type;
        switch (type)
        {
        case MESSAGE_BOOTLOADER:
            messageLength = 4;
            break;
        case MESSAGE_VERSION:
        {
            messageLength = 7;
            const float integral = std::trunc(mFirmwareVersion);
            message[4] = static_cast<unsigned char>(static_cast<int>(integral));
            message[5] = static_cast<unsigned char>(
                static_cast<int>(std::round((mFirmwareVersion - integral) * 10.0f)));
            message[6] = 0x00;
            break;
        }
        case MESSAGE_HEADER:
        {
            payload = length < HEADER_PAYLOAD ? length : HEADER_PAYLOAD;
            messageLength = payload + HEADER_OVERHEAD;
            qDebug() << "Firmware length =" << length << "(" << Hex(length) << ")";
            PutBigEndian32(message + 8, length);
            PutBigEndian32(message + 12, imageChecksum);
            qDebug() << "Complete Checksum =" << imageChecksum << "(" << Hex(imageChecksum) << ")";
            std::fread(message + HEADER_OVERHEAD, 1, payload, mFirmwareFile);
            const std::uint32_t headerChecksum = ByteSum(message + 8, messageLength - 8);
            qDebug() << "Header Checksum Sent:" << headerChecksum << "(" << Hex(headerChecksum)
                     << ")";
            PutBigEndian32(message + 4, headerChecksum);
            break;
        }
        case MESSAGE_DATA:
        {
            const std::uint32_t remaining = length - offset;
            payload = remaining < DATA_PAYLOAD ? remaining : DATA_PAYLOAD;
            messageLength = payload + DATA_OVERHEAD;
            std::fread(message + DATA_OVERHEAD, 1, payload, mFirmwareFile);
            const std::uint32_t dataChecksum = ByteSum(message + DATA_OVERHEAD, payload);
            qDebug() << "Data Checksum Sent:" << dataChecksum << "(" << Hex(dataChecksum) << ")";
            PutBigEndian32(message + 4, dataChecksum);
            if (remaining <= DATA_PAYLOAD)
            {
                qDebug() << "Last part, DataLength:" << payload
                         << ", MessageLength:" << messageLength;
            }
            break;
        }
        }
        PutBigEndian16(message, messageLength);

        // Answer bytes left over from an earlier status must not reach the next write.
        BoardStream::DiscardPendingInput(mDeviceFile);
        if (std::fwrite(message, 1, messageLength, mDeviceFile) != messageLength)
        {
            qDebug() << "Error Tx File:" << std::strerror(errno);
            return false;
        }
        qDebug() << "Send ok";
        if (std::fflush(mDeviceFile) != 0)
        {
            qDebug() << "Flush failed:" << std::strerror(errno);
            return false;
        }
        qDebug() << "flush ok";

        switch (type)
        {
        case MESSAGE_BOOTLOADER:
            type = MESSAGE_VERSION;
            break;
        case MESSAGE_VERSION:
            type = MESSAGE_HEADER;
            break;
        case MESSAGE_HEADER:
        case MESSAGE_DATA:
        {
            unsigned char status = 0;
            const BoardStream::ReadResult read =
                BoardStream::ReadWithin(mDeviceFile, &status, 1, BOARD_STATUS_WAIT_MS);
            if (read.count != 1)
            {
                // Only a received 0 is acceptance.
                if (read.timedOut)
                {
                    qDebug() << "No tx status within" << BOARD_STATUS_WAIT_MS << "ms";
                }
                else
                {
                    qDebug() << "Failed to read tx status:"
                             << (std::ferror(mDeviceFile) ? std::strerror(errno) : "end of file");
                }
                return false;
            }
            if (status != 0)
            {
                qDebug() << "Bad tx status (" << static_cast<unsigned>(status) << ")";
                return false;
            }
            offset += payload;
            type = MESSAGE_DATA;
            break;
        }
        }
    }
    return true;
}

bool cUSBDeviceUpdater::UpdateFirmwareViaLookup(float version)
{
    for (const DeviceUpdateLookupEntry& row : mDeviceUpdateLookup)
    {
        if (std::strcmp(mDevicePath, row.device) == 0 && row.minVersion <= version &&
            version <= row.maxVersion)
        {
            return UpdateFirmware(row.updateMode);
        }
    }
    return UpdateFirmware(0);
}
