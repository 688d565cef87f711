// cUSBInterrogator against the board simulator, which records every byte written to it.

#include "FixedPaths.h"
#include "USBVersionInterrogator.h"
#include "test_usb_board.h"

#include <QElapsedTimer>

static const QString DEVICE = DSP_BOARD_DEVICE;
static const QByteArray DEVICE_PATH = DEVICE.toLocal8Bit();

using USBInterrogatorTest = BoxTest;

// What may lie at the device path, and that nothing is made or written there, is shown by the
// end-to-end tests through the version query; the other queries need an open device too.
TEST_F(USBInterrogatorTest, WithoutADeviceEveryQueryAnswersNothing)
{
    {
        cUSBInterrogator board(DEVICE_PATH.constData());
        EXPECT_TRUE(board.GetVersion().isNull());
        EXPECT_EQ(board.GetBootloaderVersion(), 0u);
        EXPECT_FALSE(board.GetPortPin(3));
        EXPECT_EQ(board.GetBoardID(5), 0);
    }
    EXPECT_EQ(Messages(), QStringList({"Failed to open  " + DEVICE}));
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

// Its input is full: no request gets through, and none is answered. The end-to-end tests show
// the version query on a board that reads but never answers.
TEST_F(USBInterrogatorTest, UnansweredQueriesGiveNothingWithinTheirWait)
{
    SimulatedBoard board(DEVICE, {"--stop-reading", "0"});
    cUSBInterrogator interrogator(DEVICE_PATH.constData());
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(interrogator.GetVersion(), "");
    EXPECT_EQ(interrogator.GetBootloaderVersion(), 0u);
    EXPECT_FALSE(interrogator.GetPortPin(1));
    EXPECT_EQ(interrogator.GetBoardID(1), 0);
    // Four queries, each ending with its wait: none blocks (the bound is generous).
    EXPECT_LT(timer.elapsed(), 4 * (BOARD_QUERY_WAIT_MS + 2000));
    EXPECT_EQ(Messages(),
              QStringList({"Failed to flush get version request",
                           "Failed to flush get bootloader version request",
                           "Error reading bootloader version response", "Flush failed",
                           "PinId = 1 Result = 0", "Failed to flush get board ID request",
                           "Error reading board ID response"}));
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
