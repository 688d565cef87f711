// cUSBInterrogator (Part 3.1) against a pseudo-terminal played by the test, where every byte
// written can be inspected, and against the board simulator.

#include "USBVersionInterrogator.h"
#include "UpdateLimits.h"
#include "test_usb_board.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

namespace
{
const QString DEVICE = BoxPath("/dev/qv_core_rack");

// Answers each query frame with the bytes given for its command code.
PtyBoard::Rule Answers(Bytes version, Bytes bootloader = {}, Bytes pin = {}, Bytes id = {})
{
    return [=](const Bytes& frame) -> Bytes
    {
        switch (frame[2])
        {
        case 0x01:
            return version;
        case 0x20:
            return bootloader;
        case 0x0A:
            return pin;
        case 0x02:
            return id;
        default:
            return {};
        }
    };
}

Bytes Text12(const char* text)
{
    Bytes bytes(12, 0);
    for (size_t i = 0; text[i] && i < 12; ++i)
        bytes[i] = static_cast<unsigned char>(text[i]);
    return bytes;
}
} // namespace

using USBInterrogatorTest = BoxTest;

TEST_F(USBInterrogatorTest, UnopenableDeviceLogsOnceAndTouchesNothing)
{
    const QString missing = BoxPath("/no-such-dir/qv_core_rack");
    const QByteArray path = missing.toLocal8Bit();
    {
        cUSBInterrogator board(path.constData());
        EXPECT_EQ(board.GetVersion(), QString());
        EXPECT_TRUE(board.GetVersion().isNull());
        EXPECT_EQ(board.GetBootloaderVersion(), 0u);
        EXPECT_FALSE(board.GetPortPin(3));
        EXPECT_EQ(board.GetBoardID(5), 0);
    }
    EXPECT_EQ(LogMessages(), QStringList({"Debug: Failed to open  " + missing +
                                          " (cUSBInterrogator::cUSBInterrogator(const char*))"}));
    EXPECT_FALSE(QFileInfo::exists(BoxPath("/no-such-dir")));
}

TEST_F(USBInterrogatorTest, VersionQueryBytesAndTextUpToNul)
{
    PtyBoard board(DEVICE, Answers(Text12("2.8")));
    {
        cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
        EXPECT_EQ(interrogator.GetVersion(), QStringLiteral("2.8"));
    }
    EXPECT_EQ(board.Received(), Bytes({0x00, 0x03, 0x01}));
    EXPECT_EQ(LogMessages(), QStringList());
}

TEST_F(USBInterrogatorTest, TwelveNonNulBytesGiveElevenCharacters)
{
    PtyBoard board(DEVICE, Answers(ToBytes("ABCDEFGHIJKL")));
    cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
    EXPECT_EQ(interrogator.GetVersion(), QStringLiteral("ABCDEFGHIJK"));
}

TEST_F(USBInterrogatorTest, BootloaderBytesAreLeastSignificantFirst)
{
    PtyBoard board(DEVICE, Answers({}, {0x04, 0x03, 0x02, 0x01}));
    {
        cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
        EXPECT_EQ(interrogator.GetBootloaderVersion(), 16909060u);
    }
    EXPECT_EQ(board.Received(), Bytes({0x00, 0x03, 0x20}));
    EXPECT_EQ(LogMessages(),
              QStringList({"Debug: Bootloader Version =  16909060 "
                           "(virtual ULONG cUSBInterrogator::GetBootloaderVersion())"}));
}

TEST_F(USBInterrogatorTest, PortPinRequestAndLevels)
{
    Bytes level = {2};
    PtyBoard board(DEVICE, [&level](const Bytes&) { return level; });
    cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
    EXPECT_TRUE(interrogator.GetPortPin(3));
    EXPECT_EQ(board.Received(), Bytes({0x00, 0x04, 0x0A, 0x03}));
    EXPECT_EQ(Messages(), QStringList({"PinId = 3 Result = 2", "Unexpected pin value: 2"}));
    EXPECT_EQ(LogMessages()[1], "Debug: Unexpected pin value: 2 (virtual bool "
                                "cUSBInterrogator::GetPortPin(unsigned char))");

    ResetBox();
    level = {0};
    EXPECT_FALSE(interrogator.GetPortPin(200));
    level = {1};
    EXPECT_TRUE(interrogator.GetPortPin(7));
    EXPECT_EQ(Messages(), QStringList({"PinId = 200 Result = 0", "PinId = 7 Result = 1"}));
}

TEST_F(USBInterrogatorTest, BoardIdRequestCarriesItsArgumentAtOffsetSeven)
{
    PtyBoard board(DEVICE, Answers({}, {}, {}, {0x2A}));
    cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
    EXPECT_EQ(interrogator.GetBoardID(5), 0x2A);
    EXPECT_EQ(board.Received(),
              Bytes({0x00, 0x0B, 0x02, 0x00, 0x00, 0x00, 0x01, 0x05, 0x10, 0x00, 0x00}));
    EXPECT_EQ(LogMessages(),
              QStringList({"Debug: ID =  42 (virtual UBYTE cUSBInterrogator::GetBoardID(UBYTE))"}));
}

TEST_F(USBInterrogatorTest, SilentBoardNeverHangsAQuery)
{
    PtyBoard board(DEVICE, [](const Bytes&) { return Bytes(); });
    cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(interrogator.GetVersion(), QString());
    EXPECT_EQ(interrogator.GetBootloaderVersion(), 0u);
    EXPECT_FALSE(interrogator.GetPortPin(1));
    EXPECT_EQ(interrogator.GetBoardID(1), 0);
    const qint64 elapsed = timer.elapsed();
    EXPECT_GE(elapsed, 4 * BOARD_QUERY_WAIT_MS - 50);
    EXPECT_LT(elapsed, 4 * BOARD_QUERY_WAIT_MS + 2000);
    EXPECT_EQ(Messages(), QStringList({"Error reading bootloader version response",
                                       "PinId = 1 Result = 0", "Error reading board ID response"}));
    // Every request still went out whole.
    EXPECT_EQ(board.Frames().size(), 4u);
}

TEST_F(USBInterrogatorTest, ShortAnswersGiveWhatCame)
{
    PtyBoard board(DEVICE, Answers(ToBytes("2.8"), {0x04, 0x03}));
    cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
    EXPECT_EQ(interrogator.GetVersion(), QStringLiteral("2.8"));
    EXPECT_EQ(interrogator.GetBootloaderVersion(), 0x0304u);
}

TEST_F(USBInterrogatorTest, LeftoverAnswerBytesDoNotBreakTheNextRequest)
{
    // Each answer carries 20 bytes too many; with glibc the next write would fail with
    // "Illegal seek" unless they are discarded.
    Bytes tail(20, 0xA5);
    Bytes version = Text12("3.1");
    version.insert(version.end(), tail.begin(), tail.end());
    Bytes id = {9};
    id.insert(id.end(), tail.begin(), tail.end());
    PtyBoard board(DEVICE, Answers(version, {}, {}, id));
    cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(interrogator.GetVersion(), QStringLiteral("3.1"));
        EXPECT_EQ(interrogator.GetBoardID(4), 9);
    }
    EXPECT_EQ(board.Frames().size(), 6u);
    for (const QString& message : Messages())
    {
        EXPECT_FALSE(message.contains("Failed") || message.contains("Error"))
            << message.toStdString();
    }
}

TEST_F(USBInterrogatorTest, RegularFileInPlaceOfTheDeviceReadsNothing)
{
    // No board: "wb+" creates a regular file, the request lands in it, the read finds its end.
    cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(interrogator.GetVersion(), QString());
    EXPECT_LT(timer.elapsed(), BOARD_QUERY_WAIT_MS);
    EXPECT_EQ(ReadFile(DEVICE), QByteArray("\x00\x03\x01", 3));
}

TEST_F(USBInterrogatorTest, AgainstTheSimulator)
{
    SimulatedBoard simulator(DEVICE, {"--version", "R9-1.04", "--bootloader", "16909060", "--pin",
                                      "3=1", "--board-id", "17"});
    {
        cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
        EXPECT_EQ(interrogator.GetVersion(), QStringLiteral("R9-1.04"));
        EXPECT_EQ(interrogator.GetBootloaderVersion(), 16909060u);
        EXPECT_TRUE(interrogator.GetPortPin(3));
        EXPECT_FALSE(interrogator.GetPortPin(4));
        EXPECT_EQ(interrogator.GetBoardID(2), 17);
    }
    EXPECT_EQ(simulator.Stop(), 0);
    const QJsonObject queries = simulator.Report()["queries"].toObject();
    EXPECT_EQ(queries["version"].toInt(), 1);
    EXPECT_EQ(queries["bootloader"].toInt(), 1);
    EXPECT_EQ(queries["pin"].toInt(), 2);
    EXPECT_EQ(queries["board_id"].toInt(), 1);
    EXPECT_TRUE(simulator.Report()["errors"].toArray().isEmpty());
}

TEST_F(USBInterrogatorTest, SimulatorAnsweringLateWithinTheWait)
{
    SimulatedBoard simulator(
        DEVICE, {"--version", "2.9", "--delay", QString::number(BOARD_QUERY_WAIT_MS / 2)});
    cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
    EXPECT_EQ(interrogator.GetVersion(), QStringLiteral("2.9"));
}

TEST_F(USBInterrogatorTest, SimulatorAnsweringTooLateCountsAsNothing)
{
    SimulatedBoard simulator(
        DEVICE, {"--version", "2.9", "--delay", QString::number(BOARD_QUERY_WAIT_MS + 500)});
    cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
    EXPECT_EQ(interrogator.GetVersion(), QString());
    // The late answer arrives while the next query waits; it is dropped before that request.
    // Were it read as the ID's answer, the ID would be '2' (50).
    QThread::msleep(600);
    EXPECT_EQ(interrogator.GetBoardID(1), 0);
}
