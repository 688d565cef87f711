// cUSBDeviceUpdater and cUSBInterrogator against the board simulator on a pseudo-terminal, which
// checks every frame and records every byte. The end-to-end tests send mode-0 images to boards
// that refuse, fall silent or stop reading; here the sizes and modes, the bootloader, the version
// file and the other queries. (No step looks a mode up by version.)

#include "TestBox.h"
#include "USBDeviceUpdater.h"
#include "USBVersionInterrogator.h"
#include "UpdateLimits.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <thread>

namespace
{
// The event log's messages without "Debug: " and without the logging function's signature.
QStringList Messages()
{
    static const QRegularExpression frame("^Debug: | \\([^()]*\\([^()]*\\)[^()]*\\)$");
    return LogMessages().replaceInStrings(frame, "");
}

QByteArray Pattern(int size)
{
    QByteArray image;
    for (int i = 0; i < size; ++i)
        image += static_cast<char>((i * 7 + 3) % 251);
    return image;
}

class SimulatedBoard
{
public:
    SimulatedBoard(const QString& link, const QStringList& arguments)
    {
        QFile::remove(mCapture); // the simulator appends to it
        // A cross build runs the simulator, like the tool, through its emulator.
        const QJsonObject programs = BoxFacts()["programs"].toObject();
        QStringList command;
        for (const QJsonValue& word : programs["emulator"].toArray())
            command << word.toString();
        command += QStringList({programs["board_simulator"].toString(), "--link", link, "--report",
                                mReport, "--image", mImage, "--capture", mCapture, "--timeout",
                                "120", "--die-with-parent"}) +
                   arguments;
        mProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        mProcess.start(command.takeFirst(), command);
        while (!mProcess.canReadLine() && mProcess.waitForReadyRead(10000))
            continue;
        const QByteArray line = mProcess.readLine();
        EXPECT_TRUE(line.startsWith("ready ")) << line.toStdString();
    }

    ~SimulatedBoard() { Stop(); }

    int Stop()
    {
        if (mProcess.state() != QProcess::NotRunning)
        {
            mProcess.terminate();
            mProcess.waitForFinished();
        }
        return mProcess.exitStatus() == QProcess::NormalExit ? mProcess.exitCode() : -1;
    }

    // Every transfer as [command, version message, frame lengths, result], in compact JSON.
    QString Transfers()
    {
        QJsonArray all;
        for (const QJsonValue& value :
             QJsonDocument::fromJson(ReadFile(mReport))["transfers"].toArray())
        {
            const QJsonObject t = value.toObject();
            all.append(QJsonArray({t["command"], t["version"], t["frame_lengths"], t["result"]}));
        }
        return QString::fromLatin1(QJsonDocument(all).toJson(QJsonDocument::Compact));
    }
    // The image the last transfer delivered, and every byte received, both after Stop().
    QByteArray Image() { return ReadFile(mImage); }
    QString Capture() { return QString::fromLatin1(ReadFile(mCapture).toHex(' ')); }

private:
    const QString mReport = BoxPath("/sim-report.json");
    const QString mImage = BoxPath("/sim-image.bin");
    const QString mCapture = BoxPath("/sim-capture.bin");
    QProcess mProcess;
};

void WriteImage(const QByteArray& image)
{
    QDir().mkpath(UPDATER_FIRMWARE_DIRECTORY_PATH);
    WriteFile(DSP_FIRMWARE_IMAGE, image);
}
} // namespace

using USBDeviceUpdaterTest = BoxTest;

// The header message carries up to 496 image bytes, each data message up to 504. The modes from
// 2 on open with a version message: the version after the file's name token, which is read into
// 12 bytes, or 9.9 when it cannot be read. A bootloader image (always 9.9) is sent only there,
// after a message of its own. A version file that cannot be opened is not made.
TEST_F(USBDeviceUpdaterTest, EveryShapeOfTransferArrivesIntact)
{
    const QString versionFile = UPDATER_FIRMWARE_DIRECTORY_PATH + "/Version";
    const char* const fits = "ABCDEFGHIJK 3.4\n";
    const QString read = "Read: ABCDEFGHIJK 3.4";
    const QString unread = "Error reading firmware version file";
    const QString unopened = "Couldn't open firmware version file " + versionFile;
    const QString last1 = "Last part, DataLength: 1 , MessageLength: 9";
    const QString last504 = "Last part, DataLength: 504 , MessageLength: 512";
    const QString loader = "Update Bootloater";
    const QString boot = "UpdateBoot";
    const char* const unversioned = R"([[25,[9,9],[7,21],"complete"]])";
    const struct
    {
        int mode;
        int size;
        bool bootloader;
        const char* version; // the version file's content; nullptr: no file
        const char* board; // its report of each transfer: command, version, frame lengths, result;
                           // none: the image was not sent
        QStringList log;   // the lines on the version and on the shape of the transfer
    } cases[] = {
        {0, 496, false, fits, R"([[12,null,[512],"complete"]])", {read}},
        {0, 1000, false, fits, R"([[12,null,[512,512],"complete"]])", {read, last504}},
        {7, 1001, false, fits, R"([[25,[3,4],[7,512,512,9],"complete"]])", {read, last1}},
        {7, 5, false, "ABCDEFGHIJKLMNOP 3.4\n", unversioned, {unread}},
        {7, 5, false, nullptr, unversioned, {unopened, unread}},
        {1, 1001, true, fits, "[]", {loader, "Incompatible firmware for bootloader update"}},
        {2, 1001, true, fits, R"([[25,[9,9],[4,7,512,512,9],"complete"]])", {loader, boot, last1}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(&c - cases);
        const bool sent = QByteArray(c.board) != "[]";
        ResetBox();
        WriteImage(Pattern(c.size));
        if (c.version)
        {
            WriteFile(versionFile, c.version);
        }
        // 7 bytes nobody asked for after every status must not break the next message.
        SimulatedBoard board(DSP_BOARD_DEVICE, {"--extra", "7"});
        {
            const QByteArray path = versionFile.toLocal8Bit();
            cUSBDeviceUpdater updater(DSP_BOARD_DEVICE, DSP_FIRMWARE_IMAGE, path.constData(),
                                      c.bootloader);
            EXPECT_EQ(updater.UpdateFirmware(c.mode), sent);
        }
        EXPECT_EQ(board.Stop(), 0);
        EXPECT_EQ(board.Image(), sent ? Pattern(c.size) : QByteArray());
        EXPECT_EQ(board.Transfers(), QString(c.board));
        const QRegularExpression shape("^(Read|Error reading|Couldn't open|Update ?Boot|Last part|"
                                       "Incompatible)");
        EXPECT_EQ(Messages().filter(shape), c.log);
        EXPECT_EQ(QFileInfo::exists(versionFile), c.version != nullptr);
    }
}

// Stale buffer bytes sent under their own checksum would pass every check of the board.
TEST_F(USBDeviceUpdaterTest, ImageCutWhileSentStopsTheTransfer)
{
    // Far more than the stream's buffer holds, so that it must read the file again later on.
    WriteImage(Pattern(64 * 1024));
    SimulatedBoard board(DSP_BOARD_DEVICE, {"--delay", "50"});
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
    {
        cUSBDeviceUpdater updater(DSP_BOARD_DEVICE, DSP_FIRMWARE_IMAGE, 3.4f, false);
        EXPECT_FALSE(updater.UpdateFirmware(0));
    }
    cutter.join();
    EXPECT_EQ(Messages().last(), "Couldn't read firmware");
    EXPECT_EQ(board.Stop(), 1);
    EXPECT_TRUE(board.Transfers().endsWith(R"("incomplete"]])")) << board.Transfers().toStdString();
    // What the stream's buffer still held went out, but no message with bytes the file lost.
    EXPECT_TRUE(Pattern(64 * 1024).startsWith(board.Image())) << board.Image().size();
}

using USBInterrogatorTest = BoxTest;

// Every answer comes with 20 bytes too many: taken for the next answer, or left in the stream's
// buffer, where glibc would fail the next write on a character device with "Illegal seek". Only
// the version query is the tool's; the others answer once each, the pin with a value it refuses.
TEST_F(USBInterrogatorTest, RequestBytesAndAnswers)
{
    SimulatedBoard board(DSP_BOARD_DEVICE,
                         {"--version-hex", "4142434445464748494a4b4c", "--bootloader", "16909060",
                          "--pin", "3=2", "--board-id", "42", "--extra", "20"});
    {
        cUSBInterrogator interrogator(DSP_BOARD_DEVICE);
        EXPECT_EQ(interrogator.GetVersion(), "ABCDEFGHIJK");       // the 12th byte never counts
        EXPECT_EQ(interrogator.GetBootloaderVersion(), 16909060u); // sent as 04 03 02 01
        EXPECT_TRUE(interrogator.GetPortPin(3));
        EXPECT_EQ(interrogator.GetBoardID(5), 42);
    }
    board.Stop();
    EXPECT_EQ(board.Capture(), "00 03 01 00 03 20 00 04 0a 03 00 0b 02 00 00 00 01 05 10 00 00");
    EXPECT_EQ(Messages(), QStringList({"Bootloader Version =  16909060", "PinId = 3 Result = 2",
                                       "Unexpected pin value: 2", "ID =  42"}));
}

// Without a device every query answers nothing. With a board whose input is full the request
// does not get through, and is not answered within the wait. What may lie at the device path, and
// a board that reads but never answers, the end-to-end tests show through the version query.
TEST_F(USBInterrogatorTest, WithoutADeviceOrAnAnswerAQueryGivesNothingWithinItsWait)
{
    {
        cUSBInterrogator board(DSP_BOARD_DEVICE);
        EXPECT_TRUE(board.GetVersion().isNull());
        EXPECT_EQ(board.GetBootloaderVersion(), 0u);
        EXPECT_FALSE(board.GetPortPin(3));
        EXPECT_EQ(board.GetBoardID(5), 0);
    }
    SimulatedBoard board(DSP_BOARD_DEVICE, {"--stop-reading", "0"});
    cUSBInterrogator interrogator(DSP_BOARD_DEVICE);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(interrogator.GetBoardID(1), 0);
    EXPECT_LT(timer.elapsed(), BOARD_QUERY_WAIT_MS + 2000); // the bound is generous
    EXPECT_EQ(Messages(), QStringList({"Failed to open  " DSP_BOARD_DEVICE,
                                       "Failed to flush get board ID request",
                                       "Error reading board ID response"}));
}
