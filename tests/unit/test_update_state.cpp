#include "LayOut.h"
#include "TestBox.h"
#include "UpdateUtils.h"

#include <QDir>
#include <QFileInfo>
#include <atomic>
#include <set>
#include <sys/file.h>
#include <thread>

using ProgressStateTest = BoxTest;

TEST_F(ProgressStateTest, ProgressFileHoldsOnlyTheLastStateAsBareDecimal)
{
    WriteUpdateState(14);
    EXPECT_EQ(ReadFile(UPDATE_PROGRESS_FILE), QByteArray("14"));
    WriteUpdateState(8);
    EXPECT_EQ(ReadFile(UPDATE_PROGRESS_FILE), QByteArray("8"));
    WriteUpdateState(-1);
    EXPECT_EQ(ReadFile(UPDATE_PROGRESS_FILE), QByteArray("-1"));

    EXPECT_EQ(LogMessages(), QStringList({
                                 "Debug: Changed state value to: 14 (void WriteUpdateState(int))",
                                 "Debug: Changed state value to: 8 (void WriteUpdateState(int))",
                                 "Debug: Changed state value to: -1 (void WriteUpdateState(int))",
                             }));
}

TEST_F(ProgressStateTest, UnwritableProgressFileKeepsNothingButTheLogLine)
{
    ASSERT_TRUE(QDir(BoxPath("/home/pxm")).removeRecursively());
    WriteUpdateState(7);
    EXPECT_FALSE(QFileInfo::exists(UPDATE_PROGRESS_FILE));

    // The log directory went with the home directory, so the line went to standard error:
    // nothing else, such as a Qt warning about the unopened file, may appear.
    EXPECT_TRUE(LogMessages().isEmpty());
}

TEST_F(ProgressStateTest, ReadersSeeTheOldNumberOrTheNewOneNeverLessOrNothing)
{
    const std::set<QByteArray> written = {"14", "8", "-1", "2"};
    WriteUpdateState(14);
    std::atomic<bool> writing{true};
    std::set<QByteArray> seen;
    std::thread reader(
        [&]
        {
            while (writing)
            {
                QFile progress(UPDATE_PROGRESS_FILE);
                seen.insert(progress.open(QIODevice::ReadOnly) ? progress.readAll() : "unopenable");
            }
        });
    for (int round = 0; round < 25; ++round)
    {
        for (const QByteArray& state : written)
        {
            WriteUpdateState(state.toInt());
        }
    }
    writing = false;
    reader.join();

    for (const QByteArray& content : seen)
    {
        EXPECT_EQ(written.count(content), 1u) << '"' << content.constData() << '"';
    }
    EXPECT_EQ(QDir(HOME).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList({".update_progress", "PXMPersistentData"}));
}

TEST(StateNames, EveryValueHasItsTextAndOthersAreAnError)
{
    EXPECT_EQ(GetStateAsString(UPDATE_STATE_UNKNOWN), "Unknown");
    EXPECT_EQ(GetStateAsString(UPDATE_STATE_EXTRACTING), "Extracting");
    EXPECT_EQ(GetStateAsString(UPDATE_STATE_UPDATING_DSP), "Updating DSP");
    EXPECT_EQ(GetStateAsString(UPDATE_STATE_WAITING_FOR_FW_VERSION), "Waiting For FW version");
    EXPECT_EQ(GetStateAsString(static_cast<eUpdateStates>(22)), "KOV Extracted");
    EXPECT_EQ(GetStateAsString(static_cast<eUpdateStates>(23)), "KOV Extracted");
    EXPECT_EQ(GetStateAsString(static_cast<eUpdateStates>(24)), "KOV Updating DSP");
    EXPECT_EQ(GetStateAsString(static_cast<eUpdateStates>(25)),
              "Error: Unexpected / Unknown State");
    EXPECT_EQ(GetStateAsString(static_cast<eUpdateStates>(-1)),
              "Error: Unexpected / Unknown State");
}

using TouchTest = BoxTest;

TEST_F(TouchTest, EmptiesAnExistingFileAndFailsWithoutItsDirectory)
{
    const QString flag = BoxPath("/home/pxm/.flag");
    WriteFile(flag, "data");
    EXPECT_TRUE(Touch(flag));
    EXPECT_EQ(ReadFile(flag), QByteArray());

    EXPECT_FALSE(Touch(BoxPath("/home/pxm/missing/.flag")));
    EXPECT_FALSE(QFileInfo::exists(BoxPath("/home/pxm/missing")));
}

using ReplacementTest = BoxTest;

// Another program of the box may write the same file: it must still be able to.
TEST_F(ReplacementTest, AReplacedFileKeepsItsModeAndOwner)
{
    const QByteArray path = QFile::encodeName(UPDATE_PROGRESS_FILE);
    WriteUpdateState(8);
    ASSERT_EQ(chmod(path.constData(), 0664), 0);
    ASSERT_EQ(chown(path.constData(), 65534, 65534), 0) << "needs root";
    WriteUpdateState(9);
    struct stat status;
    ASSERT_EQ(stat(path.constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0664u);
    EXPECT_EQ(status.st_uid, 65534u);
    EXPECT_EQ(status.st_gid, 65534u);
    EXPECT_EQ(ReadFile(UPDATE_PROGRESS_FILE), "9");
}

// Replacing needs only the directory's permission; writing in place needed the file's too, and
// still does.
TEST_F(ReplacementTest, AProgressFileThisUserMayNotWriteKeepsItsNumber)
{
    WriteUpdateState(8);
    ASSERT_EQ(chmod(QFile::encodeName(HOME).constData(), 0777), 0);
    ASSERT_EQ(seteuid(65534), 0) << "needs root";
    WriteUpdateState(9);
    ASSERT_EQ(seteuid(0), 0);
    EXPECT_EQ(ReadFile(UPDATE_PROGRESS_FILE), "8");
}

// A writer holds its temporary file locked; one nobody holds was left by a writer that died.
TEST_F(ReplacementTest, TheNextWriteRemovesWhatDeadWritersLeftAndNothingElse)
{
    LayOut({{".update_progress.new-Dead01", 'f', "7"},
            {".update_progress.new-Alive1", 'f', ""},
            {".update_requested.new-Other1", 'f', ""}});
    cFileDescriptor alive(open(Where(".update_progress.new-Alive1").constData(), O_RDONLY));
    ASSERT_EQ(flock(alive.Get(), LOCK_EX), 0);

    WriteUpdateState(8);

    EXPECT_EQ(ReadFile(UPDATE_PROGRESS_FILE), "8");
    EXPECT_EQ(
        QDir(HOME).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                             QDir::Name),
        QStringList({".update_progress", ".update_progress.new-Alive1",
                     ".update_requested.new-Other1", "PXMPersistentData"}));
}
