// cUSBInterrogator against the board simulator, which records every byte written to it.

#include "FixedPaths.h"
#include "USBVersionInterrogator.h"
#include "test_usb_board.h"

#include <QElapsedTimer>

namespace
{
const QString DEVICE = DSP_BOARD_DEVICE;
const QByteArray DEVICE_PATH = QByteArray(DSP_BOARD_DEVICE);
} // namespace

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

// Every answer comes with 20 bytes too many: taken for the next answer, or left in the stream's
// buffer, where glibc would fail the next write on a character device with "Illegal seek".
TEST_F(USBInterrogatorTest, RequestBytesAndAnswers)
{
    SimulatedBoard board(DEVICE,
                         {"--version-hex", "4142434445464748494a4b4c", "--bootloader", "16909060",
                          "--pin", "3=2", "--pin", "1=1", "--board-id", "42", "--extra", "20"});
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

// Its input is full: the request does not get through, and is not answered. The end-to-end
// tests show the version query on a board that reads but never answers.
TEST_F(USBInterrogatorTest, AnUnansweredQueryGivesNothingWithinItsWait)
{
    SimulatedBoard board(DEVICE, {"--stop-reading", "0"});
    cUSBInterrogator interrogator(DEVICE_PATH.constData());
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(interrogator.GetBoardID(1), 0);
    EXPECT_LT(timer.elapsed(), BOARD_QUERY_WAIT_MS + 2000); // the bound is generous
    EXPECT_EQ(Messages(), QStringList({"Failed to flush get board ID request",
                                       "Error reading board ID response"}));
}
