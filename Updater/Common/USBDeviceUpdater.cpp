#include "USBDeviceUpdater.h"

#include "BoardProtocol.h"
#include "BoardStream.h"
#include "Deadline.h"
#include "StepLogger.h"
#include "UpdateLimits.h"
#include "UpdatePaths.h"

#include <QDebug>
#include <QString>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
constexpr std::uint32_t HEADER_OVERHEAD = 16; // head, type, header checksum, length, image sum
constexpr std::uint32_t DATA_OVERHEAD = 8;    // head, type, data checksum
constexpr std::uint32_t HEADER_PAYLOAD = MAX_MESSAGE_SIZE - HEADER_OVERHEAD; // 496
constexpr std::uint32_t DATA_PAYLOAD = MAX_MESSAGE_SIZE - DATA_OVERHEAD;     // 504

constexpr float BOOTLOADER_VERSION = 9.9f;

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

// What the header announces: the board checks the image it assembled against both.
struct FirmwareImage
{
    std::uint32_t length = 0;
    std::uint32_t checksum = 0;
};

// The header announces the image's length in 32 bits: a longer image would be announced, and
// sent, cut to its length modulo 2^32.
constexpr std::uint64_t LARGEST_IMAGE = UINT32_MAX;
constexpr std::size_t SUM_BLOCK_SIZE = 64 * 1024;

// The size from the descriptor, 64 bits wide: ftell's long ends at 2 GiB on the box's processor.
bool ImageSize(FILE* firmware, std::uint64_t* size)
{
    struct stat64 status;
    if (fstat64(fileno(firmware), &status) != 0)
    {
        return false;
    }
    *size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

// Sums the image in blocks through its descriptor, before the stream has read anything, and
// leaves the stream at the first byte. Holes read as zeros and add nothing, so only the data
// between them is read: a sparse image costs nothing for its holes. Where holes cannot be told,
// everything is read.
bool SumImage(FILE* firmware, std::uint32_t length, std::uint32_t* checksum)
{
    const int descriptor = fileno(firmware);
    std::vector<unsigned char> block(SUM_BLOCK_SIZE);
    std::uint64_t at = 0;
    while (at < length)
    {
        const off64_t data = lseek64(descriptor, static_cast<off64_t>(at), SEEK_DATA);
        if (data < 0 && errno == ENXIO)
        {
            break; // holes up to the end
        }
        at = std::max<std::uint64_t>(at, data < 0 ? 0 : static_cast<std::uint64_t>(data));
        if (at >= length)
        {
            break;
        }
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(SUM_BLOCK_SIZE, length - at));
        const ssize_t count = pread64(descriptor, block.data(), wanted, static_cast<off64_t>(at));
        if (count < 0 && errno == EINTR)
        {
            continue;
        }
        if (count <= 0)
        {
            return false;
        }
        *checksum += ByteSum(block.data(), static_cast<std::size_t>(count));
        at += static_cast<std::uint64_t>(count);
    }
    std::rewind(firmware);
    return true;
}

// False, with the reason logged, for an image that cannot be read or announced.
bool MeasureImage(FILE* firmware, FirmwareImage* image, const QMessageLogger& log)
{
    std::uint64_t size = 0;
    const bool sized = ImageSize(firmware, &size);
    if (sized && size > LARGEST_IMAGE)
    {
        log.debug() << "Firmware too large:" << size << "bytes, the header announces at most"
                    << LARGEST_IMAGE;
        return false;
    }
    image->length = static_cast<std::uint32_t>(size);
    if (!sized || !SumImage(firmware, image->length, &image->checksum))
    {
        log.debug() << "Couldn't read firmware";
        return false;
    }
    return true;
}

// A read that comes up short (a failing medium, an image cut while it is sent) would leave
// stale bytes in the buffer, sent under a checksum of their own that the board accepts: the
// transfer would report success for an image that is not the file.
bool ReadImageBytes(FILE* firmware, unsigned char* into, std::uint32_t count,
                    const QMessageLogger& log)
{
    if (std::fread(into, 1, count, firmware) == count)
    {
        return true;
    }
    log.debug() << "Couldn't read firmware";
    return false;
}

struct Opening
{
    eBoardCommand command;
    eMessageType firstMessage;
};

// Boards of the later modes want to hear which version is coming before they take a header.
Opening OpeningForMode(int updateMode)
{
    switch (updateMode)
    {
    case 0:
        return {COMMAND_UPDATE_MODE_0, MESSAGE_HEADER};
    case 1:
        return {COMMAND_UPDATE_MODE_1, MESSAGE_HEADER};
    default:
        return {COMMAND_UPDATE_MODE_2, MESSAGE_VERSION};
    }
}

// The bootloader message is followed by the version message, which the first two modes lack.
bool CanUpdateBootloader(int updateMode, const QMessageLogger& log)
{
    if (updateMode <= 1)
    {
        log.debug() << "Incompatible firmware for bootloader update";
        return false;
    }
    log.debug() << "UpdateBoot";
    return true;
}

// One message on the wire: big-endian length, command, message type, then what the type carries.
// The buffer is reused from one message to the next; only the first `length` bytes are sent.
struct Message
{
    unsigned char bytes[MAX_MESSAGE_SIZE] = {};
    std::uint32_t length = 0;
    std::uint32_t payload = 0; // image bytes this message carries
};

// What every message of one transfer is built from.
struct TransferSource
{
    FILE* firmware;
    FirmwareImage image;
    float version;
    eBoardCommand command;
};

void LogSum(const QMessageLogger& log, const char* label, std::uint32_t value)
{
    log.debug() << label << value << "(" << Hex(value) << ")";
}

void BuildVersionMessage(Message& message, float version)
{
    const float integral = std::trunc(version);
    message.bytes[4] = static_cast<unsigned char>(static_cast<int>(integral));
    message.bytes[5] =
        static_cast<unsigned char>(static_cast<int>(std::round((version - integral) * 10.0f)));
    message.bytes[6] = 0x00;
    message.length = 7;
}

// The header checksum covers the announced length and image sum as well as the first payload.
bool BuildHeaderMessage(Message& message, const TransferSource& source, const QMessageLogger& log)
{
    const FirmwareImage& image = source.image;
    message.payload = std::min(image.length, HEADER_PAYLOAD);
    message.length = message.payload + HEADER_OVERHEAD;
    LogSum(log, "Firmware length =", image.length);
    PutBigEndian32(message.bytes + 8, image.length);
    PutBigEndian32(message.bytes + 12, image.checksum);
    LogSum(log, "Complete Checksum =", image.checksum);
    if (!ReadImageBytes(source.firmware, message.bytes + HEADER_OVERHEAD, message.payload, log))
    {
        return false;
    }
    const std::uint32_t headerChecksum = ByteSum(message.bytes + 8, message.length - 8);
    LogSum(log, "Header Checksum Sent:", headerChecksum);
    PutBigEndian32(message.bytes + 4, headerChecksum);
    return true;
}

bool BuildDataMessage(Message& message, FILE* firmware, std::uint32_t remaining,
                      const QMessageLogger& log)
{
    message.payload = std::min(remaining, DATA_PAYLOAD);
    message.length = message.payload + DATA_OVERHEAD;
    if (!ReadImageBytes(firmware, message.bytes + DATA_OVERHEAD, message.payload, log))
    {
        return false;
    }
    const std::uint32_t dataChecksum = ByteSum(message.bytes + DATA_OVERHEAD, message.payload);
    LogSum(log, "Data Checksum Sent:", dataChecksum);
    PutBigEndian32(message.bytes + 4, dataChecksum);
    if (remaining <= DATA_PAYLOAD)
    {
        log.debug() << "Last part, DataLength:" << message.payload
                    << ", MessageLength:" << message.length;
    }
    return true;
}

// False when the image bytes the message carries could not be read.
bool BuildMessage(Message& message, eMessageType type, const TransferSource& source,
                  std::uint32_t offset, const QMessageLogger& log)
{
    message.length = 0;
    message.payload = 0;
    message.bytes[2] = source.command;
    message.bytes[3] = type;
    bool built = true;
    switch (type)
    {
    case MESSAGE_BOOTLOADER:
        message.length = 4;
        break;
    case MESSAGE_VERSION:
        BuildVersionMessage(message, source.version);
        break;
    case MESSAGE_HEADER:
        built = BuildHeaderMessage(message, source, log);
        break;
    case MESSAGE_DATA:
        built = BuildDataMessage(message, source.firmware, source.image.length - offset, log);
        break;
    }
    PutBigEndian16(message.bytes, message.length);
    return built;
}

// The frame is whole in the message buffer, where the buffered write used to leave it; getting
// it to the device is the flush: one write when the board has room for it, and a board that
// takes it not within BOARD_STATUS_WAIT_MS fails the transfer.
bool SendMessage(FILE* device, const Message& message, const QMessageLogger& log)
{
    // Answer bytes left over from an earlier status must not be taken for the next one.
    BoardStream::DiscardPendingInput(device);
    log.debug() << "Send ok";
    const BoardStream::WriteResult written = BoardStream::WriteWithin(
        device, message.bytes, message.length, cDeadline(BOARD_STATUS_WAIT_MS));
    if (written.timedOut)
    {
        log.debug() << "Message not taken within" << BOARD_STATUS_WAIT_MS << "ms";
        return false;
    }
    if (written.count != message.length)
    {
        log.debug() << "Flush failed:" << std::strerror(written.error);
        return false;
    }
    log.debug() << "flush ok";
    return true;
}

// Only messages carrying image bytes are answered with a status byte.
bool ExpectsStatus(eMessageType type)
{
    return type == MESSAGE_HEADER || type == MESSAGE_DATA;
}

// Only a received 0 is acceptance.
bool BoardAccepted(FILE* device, const QMessageLogger& log)
{
    unsigned char status = 0;
    const BoardStream::ReadResult read =
        BoardStream::ReadWithin(device, &status, 1, cDeadline(BOARD_STATUS_WAIT_MS));
    if (read.count != 1)
    {
        if (read.timedOut)
        {
            log.debug() << "No tx status within" << BOARD_STATUS_WAIT_MS << "ms";
        }
        else
        {
            log.debug() << "Failed to read tx status:"
                        << (std::ferror(device) ? std::strerror(errno) : "end of file");
        }
        return false;
    }
    if (status != STATUS_ACCEPTED)
    {
        log.debug() << "Bad tx status (" << static_cast<unsigned>(status) << ")";
        return false;
    }
    return true;
}

// A path as the directory it names and the name in that directory.
struct PathParts
{
    std::string directory;
    const char* name;
};

PathParts SplitPath(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr)
    {
        return {".", path};
    }
    if (slash == path)
    {
        return {"/", slash + 1};
    }
    return {std::string(path, slash), slash + 1};
}

// The image is only ever a regular file, under its own name in its own directory, and neither
// of them a link: an archive cannot make the transfer send a file from elsewhere on the box, and
// no FIFO or device is read from (or even opened: opening one can block or act on hardware).
// Opened for update, as boards' images always were, though it is only read.
FILE* OpenImage(const char* path)
{
    const PathParts parts = SplitPath(path);
    const int parent =
        open(parts.directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (parent < 0)
    {
        return nullptr;
    }
    FILE* image = nullptr;
    // 64-bit sizes and offsets: on the box's processor an image past 2 GiB could be neither
    // looked at nor read otherwise.
    struct stat64 status;
    if (fstatat64(parent, parts.name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode))
    {
        const int descriptor =
            openat(parent, parts.name,
                   O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_LARGEFILE);
        // What was looked at may have been replaced before the open.
        if (descriptor >= 0 && fstat64(descriptor, &status) == 0 && S_ISREG(status.st_mode))
        {
            image = fdopen(descriptor, "rb+");
        }
        if (image == nullptr && descriptor >= 0)
        {
            close(descriptor);
        }
    }
    close(parent);
    return image;
}

// After the image's first bytes, data messages follow until the image is through.
eMessageType MessageAfter(eMessageType type)
{
    switch (type)
    {
    case MESSAGE_BOOTLOADER:
        return MESSAGE_VERSION;
    case MESSAGE_VERSION:
        return MESSAGE_HEADER;
    default:
        return MESSAGE_DATA;
    }
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
    mDeviceFile = BoardStream::OpenDevice(mDevicePath, BOARD_STATUS_WAIT_MS, STEP_LOGGER());
    mFirmwareFile = OpenImage(mFirmwarePath);

    mFirmwareOpen = mFirmwareFile != nullptr;
    qDebug() << (mFirmwareOpen ? "Successfully opened firmware" : "Couldn't open firmware");
    mDeviceOpen = mDeviceFile != nullptr;
    qDebug() << (mDeviceOpen ? "Successfully opened device" : "Couldn't open device");
}

cUSBDeviceUpdater::~cUSBDeviceUpdater()
{
    BoardStream::CloseDevice(mDeviceFile);
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
    const QMessageLogger log = STEP_LOGGER();

    FirmwareImage image;
    if (!MeasureImage(mFirmwareFile, &image, log))
    {
        return false;
    }
    const Opening opening = OpeningForMode(updateMode);
    const TransferSource source{mFirmwareFile, image, mFirmwareVersion, opening.command};
    eMessageType type = opening.firstMessage;
    if (mUpdateBootloader)
    {
        if (!CanUpdateBootloader(updateMode, log))
        {
            return false;
        }
        type = MESSAGE_BOOTLOADER;
    }

    Message message;
    std::uint32_t offset = 0;
    while (offset < source.image.length)
    {
        if (!BuildMessage(message, type, source, offset, log) ||
            !SendMessage(mDeviceFile, message, log))
        {
            return false;
        }
        if (ExpectsStatus(type) && !BoardAccepted(mDeviceFile, log))
        {
            return false;
        }
        offset += message.payload;
        type = MessageAfter(type);
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
