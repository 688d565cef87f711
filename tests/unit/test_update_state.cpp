#include "FileDescriptor.h"
#include "TestBox.h"

#include <atomic>
#include <set>
#include <sys/file.h>
#include <thread>

using ProgressStateTest = BoxTest;

// A reader sees a whole number, never a part or no file. A writer holds its temporary file locked;
// one nobody holds was left by a writer that died and goes with the next write, and nothing else.
TEST_F(ProgressStateTest, ReadersSeeAWholeNumberAndOnlyDeadWritersFilesGo)
{
    for (const char* name : {".update_progress.new-Dead01", ".update_progress.new-Alive1",
                             ".update_requested.new-Other1"})
    {
        WriteFile(PXM_HOME + '/' + name, "");
    }
    cFileDescriptor alive(
        open(QFile::encodeName(PXM_HOME + "/.update_progress.new-Alive1").constData(), O_RDONLY));
    ASSERT_EQ(flock(alive.Get(), LOCK_EX), 0);
    const std::set<QByteArray> written = {"14", "8", "-1", "2"};
    WriteUpdateState(14);
    std::atomic<bool> writing{true};
    std::set<QByteArray> seen;
    std::thread reader(
        [&]
        {
            while (writing)
                seen.insert(ReadFile(UPDATE_PROGRESS_FILE)); // nothing when there is no file
        });
    for (int round = 0; round < 15; ++round)
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
    const auto all = QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot;
    EXPECT_EQ(QDir(PXM_HOME).entryList(all, QDir::Name),
              QStringList({".update_progress", ".update_progress.new-Alive1",
                           ".update_requested.new-Other1", "PXMPersistentData"}));
}

// The texts end with 24; a value past either end is an error, never a read beyond the table.
TEST(StateNames, EveryValueHasItsTextAndOthersAreAnError)
{
    const QString unknown = "Error: Unexpected / Unknown State";
    EXPECT_EQ(GetStateAsString(static_cast<eUpdateStates>(24)), "KOV Updating DSP");
    EXPECT_EQ(GetStateAsString(static_cast<eUpdateStates>(25)), unknown);
    EXPECT_EQ(GetStateAsString(static_cast<eUpdateStates>(-1)), unknown);
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
    ASSERT_EQ(chmod(QFile::encodeName(PXM_HOME).constData(), 0777), 0);
    ASSERT_EQ(seteuid(65534), 0) << "needs root";
    WriteUpdateState(9);
    ASSERT_EQ(seteuid(0), 0);
    EXPECT_EQ(ReadFile(UPDATE_PROGRESS_FILE), "8");
}
