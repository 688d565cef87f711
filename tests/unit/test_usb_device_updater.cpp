// cUSBDeviceUpdater: byte-exact frames against a pseudo-terminal played by the test, and whole
// transfers against the board simulator, which checks every frame's length, type order and
// checksums and hands back the image it received.

#include "USBDeviceUpdater.h"
#include "test_usb_board.h"

#include <QDir>
#include <limits>

namespace
{
const QString CORE_RACK = BoxPath("/dev/qv_core_rack");
const QString IMAGE = BoxPath("/home/pxm/Firmware/R9_CoreRack_M4.bin");
const QByteArray IMAGE_PATH = IMAGE.toLocal8Bit();

void WriteImage(const QByteArray& image)
{
    QDir().mkpath(BoxPath("/home/pxm/Firmware"));
    WriteFile(IMAGE, image);
}

// Frame lengths of a transfer: optional bootloader and version messages, the header message
// with up to 496 image bytes, then data messages of up to 504.
std::vector<int> ExpectedFrameLengths(int size, bool versionFirst, bool bootloader)
{
    std::vector<int> lengths;
    if (bootloader)
        lengths.push_back(4);
    if (versionFirst)
        lengths.push_back(7);
    lengths.push_back(std::min(size, 496) + 16);
    for (int left = size - std::min(size, 496); left > 0; left -= std::min(left, 504))
        lengths.push_back(std::min(left, 504) + 8);
    return lengths;
}

std::vector<int> Ints(const QJsonValue& array)
{
    std::vector<int> values;
    for (const QJsonValue& value : array.toArray())
        values.push_back(value.toInt());
    return values;
}

bool Transfer(const QString& device, int mode, float version = 9.9f, bool bootloader = false)
{
    const QByteArray path = device.toLocal8Bit();
    cUSBDeviceUpdater updater(path.constData(), IMAGE_PATH.constData(), version, bootloader);
    return updater.UpdateFirmware(mode);
}
} // namespace

using USBDeviceUpdaterTest = BoxTest;

TEST_F(USBDeviceUpdaterTest, ThreeByteImageIsOneNineteenByteMessage)
{
    WriteImage(QByteArray("\x01\x02\x03", 3));
    PtyBoard board(CORE_RACK);
    EXPECT_TRUE(Transfer(CORE_RACK, 0));
    EXPECT_EQ(board.Received(), Bytes({0x00, 0x13, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x0F, 0x00, 0x00,
                                       0x00, 0x03, 0x00, 0x00, 0x00, 0x06, 0x01, 0x02, 0x03}));
    const QString update = QStringLiteral(" (bool cUSBDeviceUpdater::UpdateFirmware(int))");
    const QString setup = QStringLiteral(" (void cUSBDeviceUpdater::SetupFiles())");
    EXPECT_EQ(LogMessages(),
              QStringList({
                  "Debug: FW V 9.9 (cUSBDeviceUpdater::cUSBDeviceUpdater(const char*, const "
                  "char*, float, bool))",
                  "Debug: Successfully opened firmware" + setup,
                  "Debug: Successfully opened device" + setup,
                  "Debug: Firmware length = 3 ( \"0x3\" )" + update,
                  "Debug: Complete Checksum = 6 ( \"0x6\" )" + update,
                  "Debug: Header Checksum Sent: 15 ( \"0xf\" )" + update,
                  "Debug: Send ok" + update,
                  "Debug: flush ok" + update,
              }));
}

TEST_F(USBDeviceUpdaterTest, EverySizeAndModeArrivesIntact)
{
    for (int mode : {0, 1, 2, 7})
    {
        for (int size : {0, 496, 497, 1000, 1001, 5000})
        {
            SCOPED_TRACE("mode " + std::to_string(mode) + ", size " + std::to_string(size));
            ResetBox();
            WriteImage(Pattern(size));
            SimulatedBoard simulator(CORE_RACK, {});
            EXPECT_TRUE(Transfer(CORE_RACK, mode, 3.4f));
            EXPECT_EQ(simulator.Stop(), 0);
            if (size == 0)
            {
                EXPECT_EQ(simulator.Report()["frames"].toInt(), 0);
                continue;
            }
            const QJsonObject transfer = simulator.Transfer();
            EXPECT_EQ(transfer["result"].toString(), "complete");
            EXPECT_EQ(transfer["command"].toInt(), mode == 0 ? 0x0C : mode == 1 ? 0x18 : 0x19);
            EXPECT_EQ(Ints(transfer["frame_lengths"]),
                      ExpectedFrameLengths(size, mode >= 2, false));
            EXPECT_EQ(Ints(transfer["version"]),
                      mode >= 2 ? std::vector<int>({3, 4}) : std::vector<int>());
            EXPECT_EQ(simulator.Image(), Pattern(size));
            if (size == 497 || size == 1000)
            {
                EXPECT_TRUE(Messages().contains(
                    size == 497 ? "Last part, DataLength: 1 , MessageLength: 9"
                                : "Last part, DataLength: 504 , MessageLength: 512"));
            }
        }
    }
}

TEST_F(USBDeviceUpdaterTest, BootloaderImage)
{
    const QStringList opened = {"Update Bootloater", "FW V 9.9", "Successfully opened firmware",
                                "Successfully opened device"};
    WriteImage(Pattern(600));
    for (int mode : {0, 1, -3})
    {
        PtyBoard board(CORE_RACK);
        EXPECT_FALSE(Transfer(CORE_RACK, mode, 1.5f, true));
        EXPECT_TRUE(board.Received().empty());
    }
    EXPECT_EQ(Messages(),
              opened + QStringList({"Incompatible firmware for bootloader update"}) + opened +
                  QStringList({"Incompatible firmware for bootloader update"}) + opened +
                  QStringList({"Incompatible firmware for bootloader update"}));

    for (int mode : {2, 7})
    {
        PtyBoard board(CORE_RACK);
        EXPECT_TRUE(Transfer(CORE_RACK, mode, 1.5f, true));
        const std::vector<Bytes> frames = board.Frames();
        ASSERT_EQ(frames.size(), 4u);
        EXPECT_EQ(frames[0], Bytes({0x00, 0x04, 0x19, 0x03}));
        EXPECT_EQ(frames[1], Bytes({0x00, 0x07, 0x19, 0x02, 0x09, 0x09, 0x00}));
        EXPECT_EQ(Bytes(frames[2].begin(), frames[2].begin() + 4), Bytes({0x02, 0x00, 0x19, 0x00}));
    }

    ResetBox();
    WriteImage(QByteArray());
    PtyBoard board(CORE_RACK);
    EXPECT_TRUE(Transfer(CORE_RACK, 2, 1.5f, true));
    EXPECT_EQ(Messages(), opened + QStringList({"UpdateBoot"}));
    EXPECT_TRUE(board.Received().empty());
}

TEST_F(USBDeviceUpdaterTest, LookupRowsAtTheirBoundaries)
{
    WriteImage(QByteArray("\x07", 1));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct
    {
        const char* device;
        float version;
        unsigned char command;
    } cases[] = {
        {"/dev/qv_processing", 2.8f, 0x0C},  {"/dev/qv_processing", 2.85f, 0x0C},
        {"/dev/qv_processing", 2.9f, 0x19},  {"/dev/qv_processing", 10.0f, 0x0C},
        {"/dev/qv_motor_mid", 3.25f, 0x18},  {"/dev/qv_motor_left", 3.2f, 0x18},
        {"/dev/qv_motor_right", 3.4f, 0x19}, {"/dev/qv_motor_right", nan, 0x0C},
        {"/dev/qv_unknown", 3.25f, 0x0C},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.device) + " " + std::to_string(c.version));
        const QString device = BoxPath(c.device);
        PtyBoard board(device);
        {
            const QByteArray path = device.toLocal8Bit();
            cUSBDeviceUpdater updater(path.constData(), IMAGE_PATH.constData(), 1.0f, false);
            EXPECT_TRUE(updater.UpdateFirmwareViaLookup(c.version));
        }
        ASSERT_FALSE(board.Frames().empty());
        EXPECT_EQ(board.Frames()[0][2], c.command);
    }
}

TEST_F(USBDeviceUpdaterTest, RefusalAtMessageKStopsTheTransfer)
{
    for (int k : {1, 3})
    {
        SCOPED_TRACE(k);
        ResetBox();
        WriteImage(Pattern(2000)); // header and three data messages
        SimulatedBoard simulator(CORE_RACK, {"--refuse", QString::number(k) + ":5"});
        EXPECT_FALSE(Transfer(CORE_RACK, 0));
        EXPECT_EQ(Messages().last(), "Bad tx status ( 5 )");
        simulator.Stop();
        EXPECT_EQ(simulator.Transfer()["result"].toString(), "refused");
        EXPECT_EQ(simulator.Report()["frames"].toInt(), k);
    }
}

TEST_F(USBDeviceUpdaterTest, BoardFallingSilentFailsTheTransfer)
{
    WriteImage(Pattern(1500));
    SimulatedBoard simulator(CORE_RACK, {"--silent-from", "2"});
    EXPECT_FALSE(Transfer(CORE_RACK, 1));
    EXPECT_EQ(Messages().count("Send ok"), 2);
    EXPECT_EQ(Messages().last(), QString("No tx status within %1 ms").arg(BOARD_STATUS_WAIT_MS));
    simulator.Stop();
    EXPECT_EQ(simulator.Report()["frames"].toInt(), 2);
}

TEST_F(USBDeviceUpdaterTest, LateAndChattyBoardStillReceivesEverything)
{
    // Every status comes late and is followed by 7 bytes nobody asked for.
    WriteImage(Pattern(3000));
    SimulatedBoard simulator(CORE_RACK, {"--delay", "100", "--extra", "7"});
    EXPECT_TRUE(Transfer(CORE_RACK, 2));
    EXPECT_EQ(simulator.Stop(), 0);
    EXPECT_EQ(simulator.Image(), Pattern(3000));
}

TEST_F(USBDeviceUpdaterTest, VersionFile)
{
    const QString versionFile = BoxPath("/home/pxm/Firmware/Version");
    const QByteArray versionPath = versionFile.toLocal8Bit();
    const QStringList opened = {"Successfully opened firmware", "Successfully opened device"};
    const struct
    {
        const char* content;
        const char* message;
        unsigned char major, minor;
    } cases[] = {
        {"R9_CoreRack 2.8\n", "Read: R9_CoreRack 2.8", 2, 8},
        {"ABCDEFGHIJK 3.4\n", "Read: ABCDEFGHIJK 3.4", 3, 4},
        // The 12-byte name buffer stops the token after 11 characters; the rest is no number.
        {"ABCDEFGHIJKLMNOP 3.4\n", "Error reading firmware version file", 9, 9},
        {"", "Error reading firmware version file", 9, 9},
        {"NameOnly", "Error reading firmware version file", 9, 9},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.content);
        ResetBox();
        WriteImage(Pattern(5));
        WriteFile(versionFile, c.content);
        PtyBoard board(CORE_RACK);
        {
            cUSBDeviceUpdater updater(CORE_RACK.toLocal8Bit().constData(), IMAGE_PATH.constData(),
                                      versionPath.constData(), false);
            EXPECT_TRUE(updater.UpdateFirmware(2));
        }
        EXPECT_EQ(Messages().mid(0, 3), QStringList({c.message}) + opened);
        EXPECT_EQ(board.Frames()[0], Bytes({0x00, 0x07, 0x19, 0x02, c.major, c.minor, 0x00}));
        EXPECT_EQ(ReadFile(versionFile), QByteArray(c.content));
    }

    // One that cannot be opened is neither scanned nor closed; a bootloader image never reads it.
    ResetBox();
    WriteImage(Pattern(5));
    for (bool bootloader : {false, true})
    {
        PtyBoard board(CORE_RACK);
        cUSBDeviceUpdater updater(CORE_RACK.toLocal8Bit().constData(), IMAGE_PATH.constData(),
                                  versionPath.constData(), bootloader);
        EXPECT_TRUE(updater.UpdateFirmware(2));
        EXPECT_EQ(board.Frames()[bootloader ? 1 : 0], Bytes({0x00, 0x07, 0x19, 0x02, 9, 9, 0x00}));
    }
    EXPECT_EQ(Messages().mid(0, 4),
              QStringList({"Couldn't open firmware version file " + versionFile,
                           "Error reading firmware version file"}) +
                  opened);
    EXPECT_TRUE(Messages().contains("Update Bootloater"));
    EXPECT_FALSE(QFileInfo::exists(versionFile));
}
