#include "TestBox.h"
#include "UpdateUtils.h"

#include <QDir>
#include <QFileInfo>

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
