#include "FixedPaths.h"
#include "UpdateUtils.h"

#include <cstdlib>
#include <gtest/gtest.h>

const char* gUpdaterLogFile = UPDATER_LOG_FILE;

int main(int argc, char** argv)
{
    // Log timestamps name days and months in the locale's words and the local time zone.
    setenv("LC_ALL", "C", 1);
    setenv("TZ", "UTC", 1);
    ::testing::InitGoogleTest(&argc, argv);
    // The code under test logs as it does in the tool: into the box's event log.
    qInstallMessageHandler(customMessageHandler);
    return RUN_ALL_TESTS();
}
