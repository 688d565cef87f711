// cUSBDeviceUpdater (Part 3.2): byte-exact frames against a pseudo-terminal played by the test,
// and whole transfers against the board simulator, which checks every frame's length, type order
// and checksums and hands back the image it received.

#include "USBDeviceUpdater.h"
#include "UpdateLimits.h"
#include "test_usb_board.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <cmath>
#include <limits>

namespace
{
const QString CORE_RACK = BoxPath("/dev/qv_core_rack");
const QString IMAGE = BoxPath("/home/pxm/Firmware/R9_CoreRack_M4.bin");

QByteArray Local(const QString& path)
{
    return path.toLocal8Bit();
}

void WriteImage(const QByteArray& image)
{
    QDir().mkpath(BoxPath("/home/pxm/Firmware"));
    WriteFile(IMAGE, image);
}

Bytes BigEndian32(uint32_t value)
{
    return {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
            static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
}

uint32_t Sum(const QByteArray& bytes)
{
    uint32_t sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    return sum;
}

// Frame lengths of a transfer of an image of the given size (header, then data messages).
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

std::vector<int> Ints(const QJsonArray& array)
{
    std::vector<int> values;
    for (const QJsonValue& value : array)
        values.push_back(value.toInt());
    return values;
}
} // namespace

using USBDeviceUpdaterTest = BoxTest;

TEST(USBDeviceUpdaterTable, ThirteenRowsInOrder)
{
    const DeviceUpdateLookupEntry* rows = cUSBDeviceUpdater::mDeviceUpdateLookup;
    const char* devices[] = {"/dev/qv_core_rack",  "/dev/qv_dig_audio",   "/dev/qv_processing",
                             "/dev/qv_processing", "/dev/qv_motor_left",  "/dev/qv_motor_left",
                             "/dev/qv_motor_left", "/dev/qv_motor_mid",   "/dev/qv_motor_mid",
                             "/dev/qv_motor_mid",  "/dev/qv_motor_right", "/dev/qv_motor_right",
                             "/dev/qv_motor_right"};
    const float minimum[] = {1.0f, 1.0f, 1.0f, 2.9f, 1.0f, 3.2f, 3.4f,
                             1.0f, 3.2f, 3.4f, 1.0f, 3.2f, 3.4f};
    const float maximum[] = {9.9f, 9.9f, 2.8f, 9.9f, 3.1f, 3.3f, 9.9f,
                             3.1f, 3.3f, 9.9f, 3.1f, 3.3f, 9.9f};
    const int modes[] = {0, 0, 0, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2};
    for (int i = 0; i < 13; ++i)
    {
        EXPECT_EQ(QString::fromLatin1(rows[i].device), BoxPath(devices[i])) << i;
        EXPECT_EQ(rows[i].minVersion, minimum[i]) << i;
        EXPECT_EQ(rows[i].maxVersion, maximum[i]) << i;
        EXPECT_EQ(rows[i].updateMode, modes[i]) << i;
    }
}

TEST_F(USBDeviceUpdaterTest, WorkedExampleThreeByteImageIsOneNineteenByteMessage)
{
    WriteImage(QByteArray("\x01\x02\x03", 3));
    PtyBoard board(CORE_RACK);
    {
        cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(), 9.9f,
                                  false);
        EXPECT_TRUE(updater.UpdateFirmware(0));
    }
    EXPECT_EQ(board.Received(), Bytes({0x00, 0x13, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x0F, 0x00, 0x00,
                                       0x00, 0x03, 0x00, 0x00, 0x00, 0x06, 0x01, 0x02, 0x03}));
    const QString update = QStringLiteral(" (bool cUSBDeviceUpdater::UpdateFirmware(int))");
    const QString constructor = QStringLiteral(
        " (cUSBDeviceUpdater::cUSBDeviceUpdater(const char*, const char*, float, bool))");
    const QString setup = QStringLiteral(" (void cUSBDeviceUpdater::SetupFiles())");
    EXPECT_EQ(LogMessages(), QStringList({
                                 "Debug: FW V 9.9" + constructor,
                                 "Debug: Successfully opened firmware" + setup,
                                 "Debug: Successfully opened device" + setup,
                                 "Debug: Firmware length = 3 ( \"0x3\" )" + update,
                                 "Debug: Complete Checksum = 6 ( \"0x6\" )" + update,
                                 "Debug: Header Checksum Sent: 15 ( \"0xf\" )" + update,
                                 "Debug: Send ok" + update,
                                 "Debug: flush ok" + update,
                             }));
}

TEST_F(USBDeviceUpdaterTest, LogsOfALongerTransfer)
{
    WriteImage(Pattern(1001));
    PtyBoard board(CORE_RACK);
    cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(), 2.8f, false);
    ASSERT_TRUE(updater.UpdateFirmware(0));
    const QByteArray image = Pattern(1001);
    const uint32_t total = Sum(image);
    const uint32_t header = Sum(image.left(496)) + total % 256 + (total >> 8) % 256 +
                            (total >> 16) % 256 + (total >> 24) + 1001 % 256 + 1001 / 256;
    const uint32_t data1 = Sum(image.mid(496, 504));
    const uint32_t data2 = Sum(image.mid(1000));
    auto hex = [](uint32_t v)
    { return QString::number(v) + " ( \"0x" + QString::number(v, 16) + "\" )"; };
    EXPECT_EQ(Messages(), QStringList({
                              "FW V 2.8",
                              "Successfully opened firmware",
                              "Successfully opened device",
                              "Firmware length = 1001 ( \"0x3e9\" )",
                              "Complete Checksum = " + hex(total),
                              "Header Checksum Sent: " + hex(header),
                              "Send ok",
                              "flush ok",
                              "Data Checksum Sent: " + hex(data1),
                              "Send ok",
                              "flush ok",
                              "Data Checksum Sent: " + hex(data2),
                              "Last part, DataLength: 1 , MessageLength: 9",
                              "Send ok",
                              "flush ok",
                          }));
    const std::vector<Bytes> frames = board.Frames();
    ASSERT_EQ(frames.size(), 3u);
    Bytes head = {0x02, 0x00, 0x0C, 0x00};
    for (const Bytes& part : {BigEndian32(header), BigEndian32(1001), BigEndian32(total)})
        head.insert(head.end(), part.begin(), part.end());
    EXPECT_EQ(Bytes(frames[0].begin(), frames[0].begin() + 16), head);
    Bytes dataHead = {0x02, 0x00, 0x0C, 0x01};
    const Bytes dataSum = BigEndian32(data1);
    dataHead.insert(dataHead.end(), dataSum.begin(), dataSum.end());
    EXPECT_EQ(Bytes(frames[1].begin(), frames[1].begin() + 8), dataHead);
    EXPECT_EQ(frames[2].size(), 9u);
    EXPECT_EQ(frames[2][8], static_cast<unsigned char>(image[1000]));
}

// Every size and mode of the issue: the simulator accepts every frame and receives the image.
TEST_F(USBDeviceUpdaterTest, AllSizesAndModesArriveIntactAtTheSimulator)
{
    for (int mode : {0, 1, 2, 7})
    {
        for (int size : {0, 3, 496, 497, 1000, 1001, 5000})
        {
            SCOPED_TRACE("mode " + std::to_string(mode) + ", size " + std::to_string(size));
            ResetBox();
            const QByteArray image = Pattern(size);
            WriteImage(image);
            SimulatedBoard simulator(CORE_RACK, {});
            {
                cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(),
                                          3.4f, false);
                EXPECT_TRUE(updater.UpdateFirmware(mode));
            }
            EXPECT_EQ(simulator.Stop(), 0);
            const QJsonObject report = simulator.Report();
            EXPECT_TRUE(report["errors"].toArray().isEmpty());
            if (size == 0)
            {
                EXPECT_EQ(report["frames"].toInt(), 0);
                continue;
            }
            const QJsonObject transfer = simulator.Transfer();
            EXPECT_EQ(transfer["result"].toString(), "complete");
            EXPECT_TRUE(transfer["intact"].toBool());
            EXPECT_EQ(transfer["command"].toInt(), mode == 0 ? 0x0C : mode == 1 ? 0x18 : 0x19);
            const bool versionFirst = mode >= 2;
            EXPECT_EQ(Ints(transfer["frame_lengths"].toArray()),
                      ExpectedFrameLengths(size, versionFirst, false));
            if (versionFirst)
                EXPECT_EQ(Ints(transfer["version"].toArray()), std::vector<int>({3, 4}));
            else
                EXPECT_TRUE(transfer["version"].isNull());
            EXPECT_EQ(simulator.Image(), image);
        }
    }
}

TEST_F(USBDeviceUpdaterTest, EmptyImageSendsNothing)
{
    WriteImage(QByteArray());
    PtyBoard board(CORE_RACK);
    {
        cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(), 9.9f,
                                  true);
        EXPECT_TRUE(updater.UpdateFirmware(2));
    }
    EXPECT_EQ(Messages(),
              QStringList({"Update Bootloater", "FW V 9.9", "Successfully opened firmware",
                           "Successfully opened device", "UpdateBoot"}));
    EXPECT_TRUE(board.Received().empty());
}

TEST_F(USBDeviceUpdaterTest, SizesOfTheParts)
{
    struct Case
    {
        int size;
        std::vector<size_t> frames;
    };
    for (const Case& c :
         {Case{496, {512}}, Case{497, {512, 9}}, Case{1000, {512, 512}}, Case{1001, {512, 512, 9}}})
    {
        SCOPED_TRACE(c.size);
        ResetBox();
        WriteImage(Pattern(c.size));
        PtyBoard board(CORE_RACK);
        {
            cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(), 1.0f,
                                      false);
            EXPECT_TRUE(updater.UpdateFirmware(0));
        }
        std::vector<size_t> sizes;
        for (const Bytes& frame : board.Frames())
            sizes.push_back(frame.size());
        EXPECT_EQ(sizes, c.frames);
        if (c.size == 497)
        {
            EXPECT_TRUE(Messages().contains("Last part, DataLength: 1 , MessageLength: 9"));
        }
        if (c.size == 1000)
        {
            EXPECT_TRUE(Messages().contains("Last part, DataLength: 504 , MessageLength: 512"));
        }
    }
}

TEST_F(USBDeviceUpdaterTest, VersionMessageOfModeTwo)
{
    WriteImage(QByteArray("\x05", 1));
    for (float version : {9.9f, 2.8f, 3.25f})
    {
        PtyBoard board(CORE_RACK);
        {
            cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(),
                                      version, false);
            EXPECT_TRUE(updater.UpdateFirmware(2));
        }
        const std::vector<Bytes> frames = board.Frames();
        ASSERT_EQ(frames.size(), 2u);
        const unsigned char major = static_cast<unsigned char>(version);
        const unsigned char minor = version == 9.9f ? 9 : version == 2.8f ? 8 : 3; // 2.5 rounds up
        EXPECT_EQ(frames[0], Bytes({0x00, 0x07, 0x19, 0x02, major, minor, 0x00}));
        EXPECT_EQ(Bytes(frames[1].begin(), frames[1].begin() + 4), Bytes({0x00, 0x11, 0x19, 0x00}));
    }
}

TEST_F(USBDeviceUpdaterTest, BootloaderSequenceInModesTwoAndSeven)
{
    WriteImage(Pattern(600));
    for (int mode : {2, 7})
    {
        SimulatedBoard simulator(CORE_RACK, {});
        {
            cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(), 1.5f,
                                      true);
            EXPECT_TRUE(updater.UpdateFirmware(mode));
        }
        EXPECT_EQ(simulator.Stop(), 0);
        const QJsonObject transfer = simulator.Transfer();
        EXPECT_TRUE(transfer["bootloader_message"].toBool());
        EXPECT_EQ(Ints(transfer["version"].toArray()), std::vector<int>({9, 9}));
        EXPECT_EQ(Ints(transfer["frame_lengths"].toArray()), ExpectedFrameLengths(600, true, true));
        EXPECT_TRUE(transfer["intact"].toBool());
        EXPECT_EQ(simulator.Image(), Pattern(600));
    }
    // Byte for byte.
    PtyBoard board(CORE_RACK);
    {
        cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(), 1.5f,
                                  true);
        EXPECT_TRUE(updater.UpdateFirmware(2));
    }
    const std::vector<Bytes> frames = board.Frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0], Bytes({0x00, 0x04, 0x19, 0x03}));
    EXPECT_EQ(frames[1], Bytes({0x00, 0x07, 0x19, 0x02, 0x09, 0x09, 0x00}));
    EXPECT_EQ(Bytes(frames[2].begin(), frames[2].begin() + 4), Bytes({0x02, 0x00, 0x19, 0x00}));
}

TEST_F(USBDeviceUpdaterTest, BootloaderRefusedInModesZeroAndOneAndBelow)
{
    WriteImage(Pattern(10));
    for (int mode : {0, 1, -3})
    {
        ResetBox();
        WriteImage(Pattern(10));
        PtyBoard board(CORE_RACK);
        {
            cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(), 1.0f,
                                      true);
            EXPECT_FALSE(updater.UpdateFirmware(mode));
        }
        EXPECT_TRUE(board.Received().empty());
        EXPECT_EQ(Messages(),
                  QStringList({"Update Bootloater", "FW V 9.9", "Successfully opened firmware",
                               "Successfully opened device",
                               "Incompatible firmware for bootloader update"}));
    }
}

TEST_F(USBDeviceUpdaterTest, LookupRowsAtTheirBoundaries)
{
    WriteImage(QByteArray("\x07", 1));
    struct Case
    {
        const char* device;
        float version;
        unsigned char command;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const Case& c :
         {Case{"/dev/qv_processing", 2.8f, 0x0C}, Case{"/dev/qv_processing", 2.85f, 0x0C},
          Case{"/dev/qv_processing", 2.9f, 0x19}, Case{"/dev/qv_processing", 9.9f, 0x19},
          Case{"/dev/qv_processing", 10.0f, 0x0C}, Case{"/dev/qv_motor_mid", 3.25f, 0x18},
          Case{"/dev/qv_motor_left", 3.2f, 0x18}, Case{"/dev/qv_motor_right", 3.4f, 0x19},
          Case{"/dev/qv_motor_right", 3.1f, 0x0C}, Case{"/dev/qv_motor_right", nan, 0x0C},
          Case{"/dev/qv_unknown", 3.25f, 0x0C}, Case{"/dev/qv_core_rack", 5.0f, 0x0C}})
    {
        SCOPED_TRACE(std::string(c.device) + " " + std::to_string(c.version));
        const QString device = BoxPath(c.device);
        PtyBoard board(device);
        {
            const QByteArray path = Local(device);
            cUSBDeviceUpdater updater(path.constData(), Local(IMAGE).constData(), 1.0f, false);
            EXPECT_TRUE(updater.UpdateFirmwareViaLookup(c.version));
        }
        const std::vector<Bytes> frames = board.Frames();
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames[0][2], c.command);
        EXPECT_EQ(frames[0][3], c.command == 0x19 ? 2 : 0);
    }
}

TEST_F(USBDeviceUpdaterTest, RefusalAtMessageKStopsTheTransfer)
{
    const QByteArray image = Pattern(2000); // header + 3 data messages
    WriteImage(image);
    for (int k : {1, 2, 4})
    {
        SCOPED_TRACE(k);
        ResetBox();
        WriteImage(image);
        SimulatedBoard simulator(CORE_RACK, {"--refuse", QString::number(k) + ":5"});
        {
            cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(), 9.9f,
                                      false);
            EXPECT_FALSE(updater.UpdateFirmware(0));
        }
        EXPECT_EQ(Messages().last(), "Bad tx status ( 5 )");
        EXPECT_EQ(Messages().count("Send ok"), k);
        simulator.Stop();
        const QJsonObject transfer = simulator.Transfer();
        EXPECT_EQ(transfer["result"].toString(), "refused");
        EXPECT_EQ(transfer["messages"].toInt(), k);
        EXPECT_EQ(simulator.Report()["frames"].toInt(), k);
    }
}

TEST_F(USBDeviceUpdaterTest, SilentBoardFailsWithinTheStatusWait)
{
    WriteImage(Pattern(100));
    SimulatedBoard simulator(CORE_RACK, {"--silent"});
    QElapsedTimer timer;
    timer.start();
    {
        cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(), 9.9f,
                                  false);
        EXPECT_FALSE(updater.UpdateFirmware(0));
    }
    EXPECT_GE(timer.elapsed(), BOARD_STATUS_WAIT_MS - 50);
    EXPECT_LT(timer.elapsed(), BOARD_STATUS_WAIT_MS + 2000);
    EXPECT_EQ(Messages().last(), QString("No tx status within %1 ms").arg(BOARD_STATUS_WAIT_MS));
}

TEST_F(USBDeviceUpdaterTest, SilenceInTheMiddleOfATransfer)
{
    WriteImage(Pattern(1500));
    SimulatedBoard simulator(CORE_RACK, {"--silent-from", "2"});
    {
        cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(), 9.9f,
                                  false);
        EXPECT_FALSE(updater.UpdateFirmware(1));
    }
    EXPECT_EQ(Messages().count("Send ok"), 2);
    simulator.Stop();
    EXPECT_EQ(simulator.Transfer()["result"].toString(), "incomplete");
    EXPECT_FALSE(simulator.Transfer()["intact"].toBool());
}

TEST_F(USBDeviceUpdaterTest, LateAndChattyBoardStillReceivesEverything)
{
    const QByteArray image = Pattern(3000);
    WriteImage(image);
    // Status after a delay, each followed by 7 bytes nobody asked for.
    SimulatedBoard simulator(CORE_RACK, {"--delay", "100", "--extra", "7"});
    {
        cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(), 9.9f,
                                  false);
        EXPECT_TRUE(updater.UpdateFirmware(2));
    }
    EXPECT_EQ(simulator.Stop(), 0);
    EXPECT_TRUE(simulator.Transfer()["intact"].toBool());
    EXPECT_EQ(simulator.Image(), image);
}

TEST_F(USBDeviceUpdaterTest, StatusReadThatDeliversNothingFails)
{
    // The answer of a board that sends no byte at all: with --short 0 the status never comes.
    WriteImage(Pattern(10));
    SimulatedBoard simulator(CORE_RACK, {"--short", "0"});
    cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(), 9.9f, false);
    EXPECT_FALSE(updater.UpdateFirmware(0));
    EXPECT_TRUE(Messages().last().startsWith("No tx status"));
}

TEST_F(USBDeviceUpdaterTest, RegularFileInPlaceOfTheDeviceFailsAtTheStatus)
{
    WriteImage(Pattern(10));
    QElapsedTimer timer;
    timer.start();
    {
        cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(), 9.9f,
                                  false);
        EXPECT_FALSE(updater.UpdateFirmware(0));
    }
    EXPECT_LT(timer.elapsed(), BOARD_STATUS_WAIT_MS);
    EXPECT_EQ(Messages().last(), "Failed to read tx status: end of file");
    EXPECT_EQ(ReadFile(CORE_RACK).size(), 26);
}

TEST_F(USBDeviceUpdaterTest, MissingDeviceOrImage)
{
    WriteImage(Pattern(10));
    const QByteArray nowhere = Local(BoxPath("/no-such-dir/qv_core_rack"));
    {
        cUSBDeviceUpdater updater(nowhere.constData(), Local(IMAGE).constData(), 9.9f, false);
        EXPECT_FALSE(updater.UpdateFirmware(0));
    }
    EXPECT_EQ(Messages(),
              QStringList({"FW V 9.9", "Successfully opened firmware", "Couldn't open device"}));
    ResetBox();
    PtyBoard board(CORE_RACK);
    {
        cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(), 9.9f,
                                  false);
        EXPECT_FALSE(updater.UpdateFirmware(0));
    }
    EXPECT_EQ(Messages(),
              QStringList({"FW V 9.9", "Couldn't open firmware", "Successfully opened device"}));
    EXPECT_TRUE(board.Received().empty());
}

TEST_F(USBDeviceUpdaterTest, VersionFileConstructor)
{
    WriteImage(Pattern(5));
    const QString versionFile = BoxPath("/home/pxm/Firmware/Version");
    const QByteArray versionPath = Local(versionFile);
    struct Case
    {
        QByteArray content;
        QStringList messages;
        unsigned char major, minor;
    };
    const QStringList opened = {"Successfully opened firmware", "Successfully opened device"};
    for (const Case& c : {
             Case{"R9_CoreRack 2.8\n", QStringList{"Read: R9_CoreRack 2.8"} + opened, 2, 8},
             Case{"ABCDEFGHIJKLMNOP 3.4\n",
                  QStringList{"Error reading firmware version file"} + opened, 9, 9},
             Case{"ABCDEFGHIJK 3.4\n", QStringList{"Read: ABCDEFGHIJK 3.4"} + opened, 3, 4},
             Case{"", QStringList{"Error reading firmware version file"} + opened, 9, 9},
             Case{"NameOnly", QStringList{"Error reading firmware version file"} + opened, 9, 9},
             Case{"Name x.y", QStringList{"Error reading firmware version file"} + opened, 9, 9},
         })
    {
        SCOPED_TRACE(c.content.toStdString());
        ResetBox();
        WriteImage(Pattern(5));
        WriteFile(versionFile, c.content);
        PtyBoard board(CORE_RACK);
        {
            cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(),
                                      versionPath.constData(), false);
            EXPECT_TRUE(updater.UpdateFirmware(2));
        }
        EXPECT_EQ(Messages().mid(0, c.messages.size()), c.messages);
        ASSERT_FALSE(board.Frames().empty());
        EXPECT_EQ(board.Frames()[0], Bytes({0x00, 0x07, 0x19, 0x02, c.major, c.minor, 0x00}));
        EXPECT_EQ(ReadFile(versionFile), c.content); // "rb+" never writes
    }

    // A version file that cannot be opened is neither scanned nor closed.
    ResetBox();
    WriteImage(Pattern(5));
    {
        PtyBoard board(CORE_RACK);
        cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(),
                                  versionPath.constData(), false);
        EXPECT_TRUE(updater.UpdateFirmware(2));
        EXPECT_EQ(board.Frames()[0], Bytes({0x00, 0x07, 0x19, 0x02, 9, 9, 0x00}));
    }
    EXPECT_EQ(Messages().mid(0, 4),
              QStringList({"Couldn't open firmware version file " + versionFile,
                           "Error reading firmware version file"}) +
                  opened);
    EXPECT_FALSE(QFileInfo::exists(versionFile));

    // A bootloader image takes 9.9 without reading the file.
    ResetBox();
    WriteImage(Pattern(5));
    WriteFile(versionFile, "R9 2.8\n");
    {
        PtyBoard board(CORE_RACK);
        cUSBDeviceUpdater updater(Local(CORE_RACK).constData(), Local(IMAGE).constData(),
                                  versionPath.constData(), true);
        EXPECT_TRUE(updater.UpdateFirmware(2));
        EXPECT_EQ(board.Frames()[1], Bytes({0x00, 0x07, 0x19, 0x02, 9, 9, 0x00}));
    }
    EXPECT_EQ(Messages().mid(0, 4),
              QStringList({"Update Bootloater"}) + opened + QStringList({"UpdateBoot"}));
}
