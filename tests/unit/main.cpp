#include "UpdateUtils.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // The code under test logs as it does in the tool: into the box's event log.
    qInstallMessageHandler(customMessageHandler);
    return RUN_ALL_TESTS();
}
