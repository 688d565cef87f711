// cUSBInterrogator against a pseudo-terminal played by the test, where every byte written can
// be inspected, and against the board simulator for answers that come late.

#include "USBVersionInterrogator.h"
#include "test_usb_board.h"

#include <QFileInfo>
#include <QThread>

namespace
{
const QString DEVICE = BoxPath("/dev/qv_core_rack");

// Answers each query with the bytes given for its command code, and nothing else.
PtyBoard::Rule Answers(std::map<unsigned char, Bytes> answers)
{
    return [answers](const Bytes& frame)
    {
        const auto answer = answers.find(frame[2]);
        return answer == answers.end() ? Bytes() : answer->second;
    };
}
} // namespace

using USBInterrogatorTest = BoxTest;

TEST_F(USBInterrogatorTest, UnopenableDeviceLogsOnceAndTouchesNothing)
{
    const QString missing = BoxPath("/no-such-dir/qv_core_rack");
    {
        cUSBInterrogator board(missing.toLocal8Bit().constData());
        EXPECT_TRUE(board.GetVersion().isNull());
        EXPECT_EQ(board.GetBootloaderVersion(), 0u);
        EXPECT_FALSE(board.GetPortPin(3));
        EXPECT_EQ(board.GetBoardID(5), 0);
    }
    EXPECT_EQ(LogMessages(), QStringList({"Debug: Failed to open  " + missing +
                                          " (cUSBInterrogator::cUSBInterrogator(const char*))"}));
    EXPECT_FALSE(QFileInfo::exists(BoxPath("/no-such-dir")));
}

TEST_F(USBInterrogatorTest, RequestBytesAndAnswers)
{
    Bytes version = ToBytes(QByteArray("2.8\0junk\0\0\0\0", 12));
    PtyBoard board(DEVICE,
                   [&version](const Bytes& frame) -> Bytes
                   {
                       switch (frame[2])
                       {
                       case 0x01:
                           return version;
                       case 0x20:
                           return {0x04, 0x03, 0x02, 0x01};
                       case 0x0A:
                           return {frame[3] == 3 ? Bytes::value_type(2) : frame[3]};
                       default:
                           return {0x2A};
                       }
                   });
    cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
    EXPECT_EQ(interrogator.GetVersion(), "2.8");
    version = ToBytes("ABCDEFGHIJKL");
    EXPECT_EQ(interrogator.GetVersion(), "ABCDEFGHIJK"); // the 12th byte never counts
    EXPECT_EQ(interrogator.GetBootloaderVersion(), 16909060u);
    EXPECT_TRUE(interrogator.GetPortPin(3));
    EXPECT_FALSE(interrogator.GetPortPin(0));
    EXPECT_TRUE(interrogator.GetPortPin(1));
    EXPECT_EQ(interrogator.GetBoardID(5), 0x2A);

    EXPECT_EQ(board.Frames(),
              std::vector<Bytes>({
                  {0x00, 0x03, 0x01},
                  {0x00, 0x03, 0x01},
                  {0x00, 0x03, 0x20},
                  {0x00, 0x04, 0x0A, 0x03},
                  {0x00, 0x04, 0x0A, 0x00},
                  {0x00, 0x04, 0x0A, 0x01},
                  {0x00, 0x0B, 0x02, 0x00, 0x00, 0x00, 0x01, 0x05, 0x10, 0x00, 0x00},
              }));
    EXPECT_EQ(LogMessages(),
              QStringList({
                  "Debug: Bootloader Version =  16909060 (virtual ULONG "
                  "cUSBInterrogator::GetBootloaderVersion())",
                  "Debug: PinId = 3 Result = 2 (virtual bool cUSBInterrogator::GetPortPin(unsigned "
                  "char))",
                  "Debug: Unexpected pin value: 2 (virtual bool "
                  "cUSBInterrogator::GetPortPin(unsigned char))",
                  "Debug: PinId = 0 Result = 0 (virtual bool cUSBInterrogator::GetPortPin(unsigned "
                  "char))",
                  "Debug: PinId = 1 Result = 1 (virtual bool cUSBInterrogator::GetPortPin(unsigned "
                  "char))",
                  "Debug: ID =  42 (virtual UBYTE cUSBInterrogator::GetBoardID(UBYTE))",
              }));
}

TEST_F(USBInterrogatorTest, SilentOrShortAnswersGiveWhatCame)
{
    PtyBoard board(DEVICE, Answers({{0x20, {0x04, 0x03}}}));
    cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
    EXPECT_EQ(interrogator.GetVersion(), QString());
    EXPECT_EQ(interrogator.GetBootloaderVersion(), 0x0304u);
    EXPECT_FALSE(interrogator.GetPortPin(1));
    EXPECT_EQ(interrogator.GetBoardID(1), 0);
    EXPECT_EQ(Messages(), QStringList({"Bootloader Version =  772", "PinId = 1 Result = 0",
                                       "Error reading board ID response"}));
    EXPECT_EQ(board.Frames().size(), 4u);
}

TEST_F(USBInterrogatorTest, LeftoverAnswerBytesDoNotBreakTheNextRequest)
{
    // Answers 20 bytes too long: with glibc, unread bytes in the stream's buffer would make the
    // next write fail with "Illegal seek" on a character device.
    const Bytes tail(20, 0xA5);
    Bytes version = ToBytes(QByteArray("3.1\0\0\0\0\0\0\0\0\0", 12));
    version.insert(version.end(), tail.begin(), tail.end());
    Bytes id = {9};
    id.insert(id.end(), tail.begin(), tail.end());
    PtyBoard board(DEVICE, Answers({{0x01, version}, {0x02, id}}));
    cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(interrogator.GetVersion(), "3.1");
        EXPECT_EQ(interrogator.GetBoardID(4), 9);
    }
    EXPECT_EQ(board.Frames().size(), 6u);
    EXPECT_EQ(Messages(), QStringList({"ID =  9", "ID =  9", "ID =  9"}));
}

TEST_F(USBInterrogatorTest, AnswerAfterTheWaitIsNotTakenForTheNextOne)
{
    SimulatedBoard simulator(
        DEVICE, {"--version", "2.9", "--delay", QString::number(BOARD_QUERY_WAIT_MS + 300)});
    cUSBInterrogator interrogator(DEVICE.toLocal8Bit().constData());
    EXPECT_EQ(interrogator.GetVersion(), QString());
    QThread::msleep(400); // the late answer is in by now
    // Were it taken for the ID's answer, the ID would be '2' (50).
    EXPECT_EQ(interrogator.GetBoardID(1), 0);
}
