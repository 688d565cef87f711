// Built with the default settings, whatever this build uses: the values a box build ships, where
// the box's other programs look for what a step leaves or reads. Each one a step uses is pinned
// here once; the tests, the demo and the benchmarks read them from the box's facts file.

#include "FixedPaths.h"
#include "UpdatePaths.h"

#include <gtest/gtest.h>

#define EXPECT_PATH(constant, value) EXPECT_EQ(constant, QStringLiteral(value)) << #constant

TEST(DefaultBuild, WhatTheStepsUseHasItsBoxValue)
{
    EXPECT_PATH(UPDATE_DOWNLOAD_URL, "192.0.2.1");
    EXPECT_PATH(UPDATE_DOWNLOAD_PATH_FIRMWARE, "Downloads/Latest/Firmware.tar.xz");
    EXPECT_PATH(UPDATE_DOWNLOAD_PATH_CHECKSUM, "Downloads/Latest/Firmware.tar.xz.md5");
    EXPECT_PATH(USER_AGENT_STRING, "Quorvane PXM RirarUde ");
    EXPECT_PATH(PXM_HOME, "/home/pxm");
    EXPECT_PATH(FIRMWARE_UPDATE_REQUEST_FILE, "/home/pxm/.update_requested");
    EXPECT_PATH(RELAUNCH_UPDATE_DAEMON_FILE, "/home/pxm/.relaunch_update_daemon");
    EXPECT_PATH(REQUEST_DSP_FIRMWARE_UPDATE_FILE, "/home/pxm/.dsp_update_requested");
    EXPECT_PATH(REQUEST_DSP_FIRMWARE_UPDATE_ON_REBOOT_FILE,
                "/home/pxm/.dsp_update_on_boot_requested");
    EXPECT_PATH(UPDATE_PROGRESS_FILE, "/home/pxm/.update_progress");
    EXPECT_PATH(UPDATER_ARCHIVE_FILE, "/home/pxm/Firmware.tar.xz");
    EXPECT_PATH(UPDATER_CHECKSUM_FILE, "/home/pxm/Firmware.tar.xz.md5");
    EXPECT_PATH(UPDATER_FIRMWARE_DIRECTORY_PATH, "/home/pxm/Firmware");
    EXPECT_PATH(ROOTFS_RUNNING_UINITRD_VERSION_FILE, "/etc/InitrdVersion.txt");
    EXPECT_PATH(FIRMWARE_UPDATE_NEW_DAEMON, "/home/pxm/Firmware/UpdateDaemon");
    EXPECT_PATH(FIRMWARE_UPDATE_NEW_DAEMON_VERSION_FILE, "/home/pxm/Firmware/UpdateDaemonVersion");
    EXPECT_PATH(FIRMWARE_UPDATE_VERSION_FILE, "Firmware/Version.txt");
    EXPECT_PATH(FIRMWARE_UPDATE_DSP_VERSION_FILE, "Firmware/R9_CoreRack_M4_Version");
    EXPECT_PATH(UPDATER_LOG_FILE,
                "/home/pxm/PXMPersistentData/DovozUdiZedezod/EventLogs/Updater.log");
    EXPECT_PATH(REBOOT_REQUIRED_FILE_PATH, "/home/pxm/.reboot_required");
    EXPECT_PATH(DSP_BOARD_DEVICE, "/dev/qv_core_rack");
    EXPECT_PATH(DSP_FIRMWARE_IMAGE, "/home/pxm/Firmware/R9_CoreRack_M4.bin");
}
