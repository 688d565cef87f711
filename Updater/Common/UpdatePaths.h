#pragma once

// The fixed places where the updater meets the box's other programs. The values are a contract
// with them: flag files, progress file, archive locations and version files.

#include "BuildConfig.h"

#include <QString>

// Every absolute path goes through this, so that a test build can run the real tool inside a
// sandbox directory. On a box RIRARUDE_BOX_ROOT is empty and the path stays as written.
#define BOX_PATH(absolutePath) RIRARUDE_BOX_ROOT absolutePath

// Download settings
extern const QString UPDATE_DOWNLOAD_URL;
extern const QString UPDATE_DOWNLOAD_PATH_FIRMWARE;
extern const QString UPDATE_DOWNLOAD_PATH_CHECKSUM;
extern const QString USER_AGENT_STRING;

// Home directory and flag files
extern const QString PXM_HOME;
extern const QString FIRMWARE_UPDATE_REQUEST_FILE;
extern const QString RUN_UPDATER_FILE;
extern const QString RELAUNCH_UPDATE_DAEMON_FILE;
extern const QString REQUEST_DSP_FIRMWARE_UPDATE_FILE;
extern const QString REQUEST_DSP_FIRMWARE_UPDATE_ON_REBOOT_FILE;
extern const QString UPDATE_PROGRESS_FILE;
extern const QString HTTP_SERVER_START_FILE;
extern const QString HTTP_SERVER_ENABLED_FILE;
extern const QString HTTP_SERVER_STOP_FILE;

// Firmware archive and extracted firmware
extern const QString UPDATER_ARCHIVE_FILE;
extern const QString UPDATER_CHECKSUM_FILE;
extern const QString UPDATER_FIRMWARE_DIRECTORY_PATH;
extern const QString UPDATER_UINITRD_VERSION_FILE;
extern const QString UPDATER_UINITRD_FILE;
extern const QString UPDATER_UINITRD_CHECKSUM_FILE;
extern const QString UPDATER_KERNEL_VERSION_FILE;
extern const QString UPDATER_KERNEL_FILE;
extern const QString UPDATER_UBOOT_VERSION_FILE;
extern const QString UPDATER_UBOOT_FILE;

// Boot partition and root file system
extern const QString BOOT_KERNEL_VERSION_FILE;
extern const QString BOOT_KERNEL_FILE;
extern const QString BOOT_KERNEL_TMP_FILE;
extern const QString BOOT_KERNEL_DTB_FILE;
extern const QString BOOT_KERNEL_DTB_TMP_FILE;
extern const QString BOOT_UBOOT_VERSION_FILE;
extern const QString BOOT_UINITRD_FILE;
extern const QString BOOT_FALLBACK_UINITRD_FILE;
extern const QString BOOT_UINITRD_TMP_LOCATION;
extern const QString BOOT_UENV_FILE;
extern const QString ROOTFS_RUNNING_UINITRD_VERSION_FILE;
extern const QString ROOTFS_LAST_UPDATED_UINITRD_VERSION_FILE;

// Firmware contents and other locations
extern const QString FIRMWARE_UPDATE_DSP_FIRMWARE_CHECKSUM;
extern const QString FIRMWARE_UPDATE_NEW_DAEMON;
extern const QString FIRMWARE_UPDATE_NEW_DAEMON_VERSION_FILE;
extern const QString FIRMWARE_UPDATE_VERSION_FILE;     // relative: archive member
extern const QString FIRMWARE_UPDATE_DSP_VERSION_FILE; // relative: archive member
extern const QString UPDATE_DAEMON_PATH;
extern const QString RIRARUDE_HOSTNAME_FILE_PATH;
extern const QString NETWORKING_SH_FILE;
