// cUSBDeviceUpdater against the board simulator, which checks every frame's length, type order
// and checksums, records every byte it received and hands back the image they carried. The
// end-to-end tests send an image in mode 0 to boards that refuse it, fall silent or stop reading;
// here the sizes and modes, the bootloader, the lookup and the version file.

#include "FixedPaths.h"
#include "USBDeviceUpdater.h"
#include "test_usb_board.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <thread>

namespace
{
const QString CORE_RACK = DSP_BOARD_DEVICE;
const QByteArray IMAGE_PATH = QByteArray(DSP_FIRMWARE_IMAGE);
const QByteArray DEVICE_PATH = QByteArray(DSP_BOARD_DEVICE);

void WriteImage(const QByteArray& image)
{
    QDir().mkpath(UPDATER_FIRMWARE_DIRECTORY_PATH);
    WriteFile(DSP_FIRMWARE_IMAGE, image);
}

bool Transfer(int mode, bool bootloader = false)
{
    cUSBDeviceUpdater updater(DEVICE_PATH.constData(), IMAGE_PATH.constData(), 3.4f, bootloader);
    return updater.UpdateFirmware(mode);
}
} // namespace

using USBDeviceUpdaterTest = BoxTest;

// The header message carries up to 496 image bytes, each data message up to 504. The modes from
// 2 on open with a version message; a bootloader image (always version 9.9) is sent only there,
// after a message of its own.
TEST_F(USBDeviceUpdaterTest, EveryShapeOfTransferArrivesIntact)
{
    const QString last1 = "Last part, DataLength: 1 , MessageLength: 9";
    const QString last504 = "Last part, DataLength: 504 , MessageLength: 512";
    const QString incompatible = "Incompatible firmware for bootloader update";
    const struct
    {
        int mode;
        int size;
        bool bootloader;
        bool sent;
        const char* board; // its report of each transfer: command, version, frame lengths, result
        QStringList shape; // the log's lines on the shape of the transfer
    } cases[] = {
        {0, 0, false, true, "[]", {}},
        {0, 496, false, true, R"([[12,null,[512],"complete"]])", {}},
        {0, 1000, false, true, R"([[12,null,[512,512],"complete"]])", {last504}},
        {0, 1001, false, true, R"([[12,null,[512,512,9],"complete"]])", {last1}},
        {7, 1001, false, true, R"([[25,[3,4],[7,512,512,9],"complete"]])", {last1}},
        {1, 1001, true, false, "[]", {incompatible}},
        {2, 1001, true, true, R"([[25,[9,9],[4,7,512,512,9],"complete"]])", {"UpdateBoot", last1}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(&c - cases);
        ResetBox();
        WriteImage(Pattern(c.size));
        // 7 bytes nobody asked for after every status must not break the next message.
        SimulatedBoard board(CORE_RACK, {"--extra", "7"});
        EXPECT_EQ(Transfer(c.mode, c.bootloader), c.sent);
        EXPECT_EQ(board.Stop(), 0);
        EXPECT_EQ(board.Image(), c.sent ? Pattern(c.size) : QByteArray());
        EXPECT_EQ(board.Transfers(), QString(c.board));
        EXPECT_EQ(Messages().filter(QRegularExpression("^(Last part|UpdateBoot|Incompatible)")),
                  c.shape);
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
        {"/dev/qv_processing", 2.85f, 0x0C},
        {"/dev/qv_processing", 2.9f, 0x19},
        {"/dev/qv_motor_mid", 3.3f, 0x18}, // the upper bound of its row
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
    SimulatedBoard board(CORE_RACK, {"--delay", "50"});
    // Cut once the header message is through, while the tool waits for its status.
    std::thread cutter(
        [&board]
        {
            QElapsedTimer waited;
            waited.start();
            while (board.Capture().size() < 512 * 3 - 1 && waited.elapsed() < 5000)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            QFile(DSP_FIRMWARE_IMAGE).resize(600);
        });
    EXPECT_FALSE(Transfer(0));
    cutter.join();
    EXPECT_EQ(Messages().last(), "Couldn't read firmware");
    EXPECT_EQ(board.Stop(), 1);
    EXPECT_EQ(board.Transfer()["result"].toString(), "incomplete");
    // Messages the stream's buffer still filled went out; not one with bytes the file no longer
    // had.
    EXPECT_TRUE(Pattern(64 * 1024).startsWith(board.Image())) << board.Image().size();
}

// The name token is read into a 12-byte buffer; the version after it is what the version message
// announces, 9.9 when it cannot be read. A file that cannot be opened is neither scanned nor
// closed, nor made.
TEST_F(USBDeviceUpdaterTest, VersionFile)
{
    const QString file = UPDATER_FIRMWARE_DIRECTORY_PATH + "/Version";
    const QString unread = "Error reading firmware version file";
    const struct
    {
        const char* content; // nullptr: no file
        QStringList messages;
        const char* wire; // the version message
    } cases[] = {
        {"ABCDEFGHIJK 3.4\n", {"Read: ABCDEFGHIJK 3.4"}, "00 07 19 02 03 04 00"},
        {"ABCDEFGHIJKLMNOP 3.4\n", {unread}, "00 07 19 02 09 09 00"},
        {nullptr, {"Couldn't open firmware version file " + file, unread}, "00 07 19 02 09 09 00"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.wire);
        ResetBox();
        WriteImage(Pattern(5));
        if (c.content)
        {
            WriteFile(file, c.content);
        }
        SimulatedBoard board(CORE_RACK, {});
        {
            const QByteArray path = file.toLocal8Bit();
            cUSBDeviceUpdater updater(DEVICE_PATH.constData(), IMAGE_PATH.constData(),
                                      path.constData(), false);
            EXPECT_TRUE(updater.UpdateFirmware(2));
        }
        EXPECT_EQ(board.Stop(), 0);
        EXPECT_EQ(Messages().mid(0, c.messages.size()), c.messages);
        EXPECT_EQ(board.Capture().left(20), c.wire);
        EXPECT_EQ(QFileInfo::exists(file), c.content != nullptr);
    }
}
