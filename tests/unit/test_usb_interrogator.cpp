// cUSBInterrogator against the board simulator, which records every byte written to it.

#include "USBVersionInterrogator.h"
#include "test_usb_board.h"

#include <QFileInfo>

static const QString DEVICE = BoxPath("/dev/qv_core_rack");
static const QByteArray DEVICE_PATH = DEVICE.toLocal8Bit();

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
    SimulatedBoard board(DEVICE, {"--version-hex", "4142434445464748494a4b4c", "--bootloader",
                                  "16909060", "--pin", "3=2", "--pin", "1=1", "--board-id", "42"});
    {
        cUSBInterrogator interrogator(DEVICE_PATH.constData());
        EXPECT_EQ(interrogator.GetVersion(), "ABCDEFGHIJK");       // the 12th byte never counts
        EXPECT_EQ(interrogator.GetBootloaderVersion(), 16909060u); // sent as 04 03 02 01
        EXPECT_TRUE(interrogator.GetPortPin(3));
        EXPECT_FALSE(interrogator.GetPortPin(0));
        EXPECT_TRUE(interrogator.GetPortPin(1));
        EXPECT_EQ(interrogator.GetBoardID(5), 42);
    }
    board.Stop();
    EXPECT_EQ(board.Capture(), "00 03 01 00 03 20 00 04 0a 03 00 04 0a 00 00 04 0a 01 "
                               "00 0b 02 00 00 00 01 05 10 00 00");
    EXPECT_EQ(Messages(), QStringList({"Bootloader Version =  16909060", "PinId = 3 Result = 2",
                                       "Unexpected pin value: 2", "PinId = 0 Result = 0",
                                       "PinId = 1 Result = 1", "ID =  42"}));
}

TEST_F(USBInterrogatorTest, SilentBoardGivesNothingAndDoesNotHang)
{
    SimulatedBoard board(DEVICE, {"--silent"});
    cUSBInterrogator interrogator(DEVICE_PATH.constData());
    EXPECT_EQ(interrogator.GetBootloaderVersion(), 0u);
    EXPECT_FALSE(interrogator.GetPortPin(1));
    EXPECT_EQ(interrogator.GetBoardID(1), 0);
    EXPECT_EQ(Messages(), QStringList({"Error reading bootloader version response",
                                       "PinId = 1 Result = 0", "Error reading board ID response"}));
}

TEST_F(USBInterrogatorTest, LeftoverAnswerBytesDoNotBreakTheNextRequest)
{
    // Answers 20 bytes too long: with glibc, unread bytes in the stream's buffer would make the
    // next write fail with "Illegal seek" on a character device.
    SimulatedBoard board(DEVICE, {"--version", "3.1", "--board-id", "9", "--extra", "20"});
    cUSBInterrogator interrogator(DEVICE_PATH.constData());
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(interrogator.GetVersion(), "3.1");
        EXPECT_EQ(interrogator.GetBoardID(4), 9);
    }
    EXPECT_EQ(Messages(), QStringList({"ID =  9", "ID =  9", "ID =  9"}));
}
