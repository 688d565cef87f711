// cUSBDeviceUpdater against the board simulator, which checks every frame's length, type order
// and checksums, records every byte it received and hands back the image they carried. The
// end-to-end tests send an image in mode 0 to boards that refuse it, fall silent or stop reading;
// here the sizes and modes, the bootloader, the lookup and the version file.

#include "FixedPaths.h"
#include "USBDeviceUpdater.h"
#include "test_usb_board.h"

#include <QDir>
#include <QFileInfo>
#include <chrono>
#include <thread>

namespace
{
const QString CORE_RACK = DSP_BOARD_DEVICE;
const QString IMAGE = DSP_FIRMWARE_IMAGE;
const QByteArray IMAGE_PATH = IMAGE.toLocal8Bit();
const QByteArray DEVICE_PATH = CORE_RACK.toLocal8Bit();

void WriteImage(const QByteArray& image)
{
    QDir().mkpath(UPDATER_FIRMWARE_DIRECTORY_PATH);
    WriteFile(IMAGE, image);
}

bool Transfer(int mode, float version = 9.9f, bool bootloader = false)
{
    cUSBDeviceUpdater updater(DEVICE_PATH.constData(), IMAGE_PATH.constData(), version, bootloader);
    return updater.UpdateFirmware(mode);
}

} // namespace

using USBDeviceUpdaterTest = BoxTest;

TEST_F(USBDeviceUpdaterTest, ThreeByteImageIsOneNineteenByteMessage)
{
    WriteImage(QByteArray("\x01\x02\x03", 3));
    SimulatedBoard board(CORE_RACK, {});
    EXPECT_TRUE(Transfer(0));
    EXPECT_EQ(board.Stop(), 0);
    // length, command, type, header checksum, image length, image sum, image
    EXPECT_EQ(board.Capture(), "00 13 0c 00 00 00 00 0f 00 00 00 03 00 00 00 06 01 02 03");
}

// The header message carries up to 496 image bytes, each data message up to 504. The modes with
// a version message are shown by the bootloader, lookup and version file tests.
TEST_F(USBDeviceUpdaterTest, EverySizeArrivesIntact)
{
    const QString last1 = "Last part, DataLength: 1 , MessageLength: 9";
    const QString last504 = "Last part, DataLength: 504 , MessageLength: 512";
    const struct
    {
        int mode;
        int size;
        const char* board; // its report of each transfer: command, version, frame lengths, result
        QStringList last;  // the log's "Last part" lines
    } cases[] = {
        {.mode = 0, .size = 0, .board = "[]", .last = {}},
        {.mode = 0, .size = 496, .board = "[[12,null,[512],\"complete\"]]", .last = {}},
        {.mode = 0, .size = 1000, .board = "[[12,null,[512,512],\"complete\"]]", .last = {last504}},
        {.mode = 0, .size = 1001, .board = "[[12,null,[512,512,9],\"complete\"]]", .last = {last1}},
        {.mode = 7,
         .size = 1001,
         .board = "[[25,[3,4],[7,512,512,9],\"complete\"]]",
         .last = {last1}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + ", size " + std::to_string(c.size));
        ResetBox();
        WriteImage(Pattern(c.size));
        // 7 bytes nobody asked for after every status must not break the next message.
        SimulatedBoard board(CORE_RACK, {"--extra", "7"});
        EXPECT_TRUE(Transfer(c.mode, 3.4f));
        EXPECT_EQ(board.Stop(), 0);
        EXPECT_EQ(board.Image(), Pattern(c.size));
        EXPECT_EQ(board.Transfers(), c.board);
        EXPECT_EQ(Messages().filter("Last part"), c.last);
    }
}

// The bootloader message is followed by the version message, which the first two modes lack.
TEST_F(USBDeviceUpdaterTest, BootloaderImageOnlyInTheVersionModes)
{
    const QStringList opened = {"Update Bootloater", "FW V 9.9", "Successfully opened firmware",
                                "Successfully opened device"};
    const struct
    {
        int mode;
        bool sent;
        QString message;
        const char* wire; // the bootloader message, the version message, the header's head
        QByteArray image;
    } cases[] = {
        {.mode = 0,
         .sent = false,
         .message = "Incompatible firmware for bootloader update",
         .wire = "",
         .image = ""},
        {.mode = 1,
         .sent = false,
         .message = "Incompatible firmware for bootloader update",
         .wire = "",
         .image = ""},
        {.mode = 2,
         .sent = true,
         .message = "UpdateBoot",
         .wire = "00 04 19 03 00 07 19 02 09 09 00 02 00 19 00",
         .image = Pattern(600)},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE("mode " + std::to_string(c.mode));
        ResetBox();
        WriteImage(Pattern(600));
        SimulatedBoard board(CORE_RACK, {});
        EXPECT_EQ(Transfer(c.mode, 1.5f, true), c.sent);
        EXPECT_EQ(board.Stop(), 0);
        EXPECT_EQ(Messages().mid(0, 5), opened + QStringList({c.message}));
        EXPECT_EQ(board.Capture().left(44), c.wire);
        EXPECT_EQ(board.Image(), c.image);
    }
}

// A version no row of the device holds is sent in mode 0, as are those of the mode 0 rows: only
// the other rows can show which row was taken.
TEST_F(USBDeviceUpdaterTest, LookupTakesTheRowOfTheDeviceWhoseRangeHoldsTheVersion)
{
    WriteImage(QByteArray("\x07", 1));
    const struct
    {
        const char* device;
        float version;
        int command;
    } cases[] = {
        {.device = "/dev/qv_processing", .version = 2.85f, .command = 0x0C},
        {.device = "/dev/qv_processing", .version = 2.9f, .command = 0x19},
        {.device = "/dev/qv_motor_mid", .version = 3.3f, .command = 0x18},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.device) + " " + std::to_string(c.version));
        const QByteArray device = BoxPath(c.device).toLocal8Bit();
        SimulatedBoard board(device, {});
        {
            cUSBDeviceUpdater updater(device.constData(), IMAGE_PATH.constData(), 1.0f, false);
            EXPECT_TRUE(updater.UpdateFirmwareViaLookup(c.version));
        }
        EXPECT_EQ(board.Stop(), 0);
        EXPECT_EQ(board.Transfer()["command"].toInt(), c.command);
    }
}

// Stale buffer bytes sent under their own checksum would pass every check of the board.
TEST_F(USBDeviceUpdaterTest, ImageCutWhileSentStopsTheTransfer)
{
    // Far more than the stream's buffer holds, so that it must read the file again later on.
    WriteImage(Pattern(64 * 1024));
    SimulatedBoard board(CORE_RACK, {"--delay", "200"});
    // Cut once the header message is through, while the tool waits for its status.
    std::thread cutter(
        [&board]
        {
            while (board.Capture().size() < 512 * 3 - 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            QFile(IMAGE).resize(600);
        });
    EXPECT_FALSE(Transfer(0));
    cutter.join();
    EXPECT_EQ(Messages().last(), "Couldn't read firmware");
    EXPECT_EQ(board.Stop(), 1);
    EXPECT_EQ(board.Transfer()["result"].toString(), "incomplete");
}

TEST_F(USBDeviceUpdaterTest, VersionFile)
{
    const QString written = UPDATER_FIRMWARE_DIRECTORY_PATH + "/Version";
    const QString missing = UPDATER_FIRMWARE_DIRECTORY_PATH + "/NoVersion";
    const QString unread = "Error reading firmware version file";
    const struct
    {
        QByteArray content; // of the version file written
        QString given;      // the version file named to the updater
        QStringList messages;
        const char* wire; // the version message
    } cases[] = {
        {.content = "ABCDEFGHIJK 3.4\n",
         .given = written,
         .messages = {"Read: ABCDEFGHIJK 3.4"},
         .wire = "00 07 19 02 03 04 00"},
        // The 12-byte name buffer stops the token after 11 characters; the rest is no number.
        {.content = "ABCDEFGHIJKLMNOP 3.4\n",
         .given = written,
         .messages = {unread},
         .wire = "00 07 19 02 09 09 00"},
        // One that cannot be opened is neither scanned nor closed, nor made.
        {.content = "ABCDEFGHIJK 3.4\n",
         .given = missing,
         .messages = {"Couldn't open firmware version file " + missing, unread},
         .wire = "00 07 19 02 09 09 00"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.given.toStdString() + ": " + c.content.toStdString());
        ResetBox();
        WriteImage(Pattern(5));
        WriteFile(written, c.content);
        SimulatedBoard board(CORE_RACK, {});
        {
            cUSBDeviceUpdater updater(DEVICE_PATH.constData(), IMAGE_PATH.constData(),
                                      c.given.toLocal8Bit().constData(), false);
            EXPECT_TRUE(updater.UpdateFirmware(2));
        }
        EXPECT_EQ(board.Stop(), 0);
        EXPECT_EQ(Messages().mid(0, c.messages.size() + 2),
                  c.messages +
                      QStringList({"Successfully opened firmware", "Successfully opened device"}));
        EXPECT_EQ(board.Capture().left(20), c.wire);
        EXPECT_FALSE(QFileInfo::exists(missing));
    }
}
