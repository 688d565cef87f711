// cUSBDeviceUpdater against the board simulator, which checks every frame's length, type order
// and checksums, records every byte it received and hands back the image they carried.

#include "USBDeviceUpdater.h"
#include "test_usb_board.h"

#include <QDir>
#include <QFileInfo>
#include <chrono>
#include <thread>
#include <tuple>

namespace
{
const QString CORE_RACK = BoxPath("/dev/qv_core_rack");
const QString IMAGE = BoxPath("/home/pxm/Firmware/R9_CoreRack_M4.bin");
const QByteArray IMAGE_PATH = IMAGE.toLocal8Bit();
const QByteArray DEVICE_PATH = CORE_RACK.toLocal8Bit();

void WriteImage(const QByteArray& image)
{
    QDir().mkpath(BoxPath("/home/pxm/Firmware"));
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

TEST_F(USBDeviceUpdaterTest, EverySizeAndModeArrivesIntact)
{
    // The header message carries up to 496 image bytes, each data message up to 504.
    const char* last1 = "Last part, DataLength: 1 , MessageLength: 9";
    const char* last504 = "Last part, DataLength: 504 , MessageLength: 512";
    const std::vector<std::tuple<int, const char*, const char*>> sizes = {
        {0, "", nullptr},
        {496, "512", nullptr},
        {497, "512,9", last1},
        {1000, "512,512", last504},
        {1001, "512,512,9", last1}};
    for (int mode : {0, 1, 2, 7})
    {
        for (const auto& [size, lengths, lastPart] : sizes)
        {
            SCOPED_TRACE("mode " + std::to_string(mode) + ", size " + std::to_string(size));
            ResetBox();
            WriteImage(Pattern(size));
            // 7 bytes nobody asked for after every status must not break the next message.
            SimulatedBoard board(CORE_RACK, {"--extra", "7"});
            EXPECT_TRUE(Transfer(mode, 3.4f));
            EXPECT_EQ(board.Stop(), 0);
            EXPECT_EQ(board.Image(), Pattern(size));
            const QString expected =
                QString("[[%1,%2,[%3%4],\"complete\"]]")
                    .arg(mode == 0   ? 0x0C
                         : mode == 1 ? 0x18
                                     : 0x19)
                    .arg(mode >= 2 ? "[3,4]" : "null", mode >= 2 ? "7," : "", lengths);
            EXPECT_EQ(board.Transfers(), size ? expected : "[]");
            EXPECT_EQ(Messages().filter("Last part"),
                      lastPart ? QStringList({lastPart}) : QStringList());
        }
    }
}

TEST_F(USBDeviceUpdaterTest, BootloaderImageOnlyInTheVersionModes)
{
    const QStringList opened = {"Update Bootloater", "FW V 9.9", "Successfully opened firmware",
                                "Successfully opened device"};
    const char* refused = "Incompatible firmware for bootloader update";
    // mode, image size, message; then the bootloader message, the version message and the head
    // of the header message, or nothing
    const std::vector<std::tuple<int, int, const char*, const char*>> cases = {
        {0, 600, refused, ""},
        {1, 600, refused, ""},
        {2, 600, "UpdateBoot", "00 04 19 03 00 07 19 02 09 09 00 02 00 19 00"},
        {2, 0, "UpdateBoot", ""}};
    for (const auto& [mode, size, message, wire] : cases)
    {
        SCOPED_TRACE("mode " + std::to_string(mode) + ", size " + std::to_string(size));
        ResetBox();
        WriteImage(Pattern(size));
        SimulatedBoard board(CORE_RACK, {});
        EXPECT_EQ(Transfer(mode, 1.5f, true), mode >= 2);
        EXPECT_EQ(board.Stop(), 0);
        EXPECT_EQ(Messages().mid(0, 5), opened + QStringList({message}));
        EXPECT_EQ(board.Capture().left(44), wire);
        EXPECT_EQ(board.Image(), mode >= 2 ? Pattern(size) : QByteArray());
    }
}

TEST_F(USBDeviceUpdaterTest, LookupRowsAtTheirBoundaries)
{
    WriteImage(QByteArray("\x07", 1));
    const std::vector<std::tuple<const char*, float, int>> cases = {
        {"/dev/qv_processing", 2.8f, 0x0C}, {"/dev/qv_processing", 2.85f, 0x0C},
        {"/dev/qv_processing", 2.9f, 0x19}, {"/dev/qv_processing", 10.0f, 0x0C},
        {"/dev/qv_motor_mid", 3.25f, 0x18}, {"/dev/qv_unknown", 3.25f, 0x0C}};
    for (const auto& [name, version, command] : cases)
    {
        SCOPED_TRACE(std::string(name) + " " + std::to_string(version));
        const QByteArray device = BoxPath(name).toLocal8Bit();
        SimulatedBoard board(device, {});
        {
            cUSBDeviceUpdater updater(device.constData(), IMAGE_PATH.constData(), 1.0f, false);
            EXPECT_TRUE(updater.UpdateFirmwareViaLookup(version));
        }
        EXPECT_EQ(board.Stop(), 0);
        EXPECT_EQ(board.Transfer()["command"].toInt(), command);
    }
}

TEST_F(USBDeviceUpdaterTest, RefusedMissingOrUntakenMessageStopsTheTransfer)
{
    const struct
    {
        QStringList board;
        QString message; // the last line of the transfer
        const char* transfers;
    } cases[] = {
        {.board = {"--refuse", "3:5"},
         .message = "Bad tx status ( 5 )",
         .transfers = "[[12,null,[512,512,512],\"refused\"]]"},
        {.board = {"--silent-from", "2"},
         .message = QString("No tx status within %1 ms").arg(BOARD_STATUS_WAIT_MS),
         .transfers = "[[12,null,[512,512],\"incomplete\"]]"},
        // Its input fills up after the second message: the third never gets in.
        {.board = {"--stop-reading", "2"},
         .message = QString("Message not taken within %1 ms").arg(BOARD_STATUS_WAIT_MS),
         .transfers = "[[12,null,[512,512],\"incomplete\"]]"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.board.join(' ').toStdString());
        ResetBox();
        WriteImage(Pattern(2000)); // header and three data messages
        SimulatedBoard board(CORE_RACK, c.board);
        EXPECT_FALSE(Transfer(0));
        EXPECT_EQ(Messages().last(), c.message);
        EXPECT_EQ(board.Stop(), 1);
        EXPECT_EQ(board.Transfers(), c.transfers);
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
    const QString versionFile = BoxPath("/home/pxm/Firmware/Version");
    const QString unread = "Error reading firmware version file";
    // content (nullptr: no file), first message(s), the version message
    const std::vector<std::tuple<const char*, QStringList, const char*>> cases = {
        {"ABCDEFGHIJK 3.4\n", {"Read: ABCDEFGHIJK 3.4"}, "00 07 19 02 03 04 00"},
        // The 12-byte name buffer stops the token after 11 characters; the rest is no number.
        {"ABCDEFGHIJKLMNOP 3.4\n", {unread}, "00 07 19 02 09 09 00"},
        {"", {unread}, "00 07 19 02 09 09 00"},
        // One that cannot be opened is neither scanned nor closed, nor made.
        {nullptr,
         {"Couldn't open firmware version file " + versionFile, unread},
         "00 07 19 02 09 09 00"}};
    for (const auto& [content, messages, wire] : cases)
    {
        SCOPED_TRACE(content ? content : "no file");
        ResetBox();
        WriteImage(Pattern(5));
        if (content)
            WriteFile(versionFile, content);
        SimulatedBoard board(CORE_RACK, {});
        {
            cUSBDeviceUpdater updater(DEVICE_PATH.constData(), IMAGE_PATH.constData(),
                                      versionFile.toLocal8Bit().constData(), false);
            EXPECT_TRUE(updater.UpdateFirmware(2));
        }
        EXPECT_EQ(board.Stop(), 0);
        EXPECT_EQ(Messages().mid(0, messages.size() + 2),
                  messages +
                      QStringList({"Successfully opened firmware", "Successfully opened device"}));
        EXPECT_EQ(board.Capture().left(20), wire);
        EXPECT_EQ(QFileInfo::exists(versionFile), content != nullptr);
    }
}
