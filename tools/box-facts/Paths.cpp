#include "BoxFacts.h"
#include "FixedPaths.h"
#include "UpdatePaths.h"

#include <QFileInfo>
#include <utility>
#include <vector>

namespace
{
using cNamed = std::pair<QString, QString>;

// The constant's C++ name and its value; the constants are read when called, after their
// initialisation in other files.
#define NAMED(constant) cNamed(QStringLiteral(#constant), QString(constant))

std::vector<cNamed> BuiltPaths()
{
    return {
        NAMED(PXM_HOME),
        NAMED(FIRMWARE_UPDATE_REQUEST_FILE),
        NAMED(RUN_UPDATER_FILE),
        NAMED(RELAUNCH_UPDATE_DAEMON_FILE),
        NAMED(REQUEST_DSP_FIRMWARE_UPDATE_FILE),
        NAMED(REQUEST_DSP_FIRMWARE_UPDATE_ON_REBOOT_FILE),
        NAMED(UPDATE_PROGRESS_FILE),
        NAMED(HTTP_SERVER_START_FILE),
        NAMED(HTTP_SERVER_ENABLED_FILE),
        NAMED(HTTP_SERVER_STOP_FILE),
        NAMED(UPDATER_ARCHIVE_FILE),
        NAMED(UPDATER_CHECKSUM_FILE),
        NAMED(UPDATER_FIRMWARE_DIRECTORY_PATH),
        NAMED(UPDATER_UINITRD_VERSION_FILE),
        NAMED(UPDATER_UINITRD_FILE),
        NAMED(UPDATER_UINITRD_CHECKSUM_FILE),
        NAMED(UPDATER_KERNEL_VERSION_FILE),
        NAMED(UPDATER_KERNEL_FILE),
        NAMED(UPDATER_UBOOT_VERSION_FILE),
        NAMED(UPDATER_UBOOT_FILE),
        NAMED(BOOT_KERNEL_VERSION_FILE),
        NAMED(BOOT_KERNEL_FILE),
        NAMED(BOOT_KERNEL_TMP_FILE),
        NAMED(BOOT_KERNEL_DTB_FILE),
        NAMED(BOOT_KERNEL_DTB_TMP_FILE),
        NAMED(BOOT_UBOOT_VERSION_FILE),
        NAMED(BOOT_UINITRD_FILE),
        NAMED(BOOT_FALLBACK_UINITRD_FILE),
        NAMED(BOOT_UINITRD_TMP_LOCATION),
        NAMED(BOOT_UENV_FILE),
        NAMED(ROOTFS_RUNNING_UINITRD_VERSION_FILE),
        NAMED(ROOTFS_LAST_UPDATED_UINITRD_VERSION_FILE),
        NAMED(FIRMWARE_UPDATE_DSP_FIRMWARE_CHECKSUM),
        NAMED(FIRMWARE_UPDATE_NEW_DAEMON),
        NAMED(FIRMWARE_UPDATE_NEW_DAEMON_VERSION_FILE),
        NAMED(UPDATE_DAEMON_PATH),
        NAMED(RIRARUDE_HOSTNAME_FILE_PATH),
        NAMED(NETWORKING_SH_FILE),
        // The front end's own.
        NAMED(UPDATER_LOG_FILE),
        NAMED(REBOOT_REQUIRED_FILE_PATH),
        NAMED(DSP_BOARD_DEVICE),
        NAMED(DSP_FIRMWARE_IMAGE),
        NAMED(UPDATER_PARTIAL_ARCHIVE_FILE),
        NAMED(UPDATER_PARTIAL_ARCHIVE_RECORD_FILE),
    };
}

// The path a box has: every fixed path is built as the box root followed by it.
QString OnTheBox(const cNamed& path)
{
    const QString root = QStringLiteral(RIRARUDE_BOX_ROOT);
    if (!path.second.startsWith(root + QLatin1Char('/')))
    {
        Refuse(path.first + " (" + path.second + ") does not lie under the box root");
    }
    return path.second.mid(root.size());
}
} // namespace

QJsonObject FixedPaths()
{
    QJsonObject paths;
    for (const cNamed& path : BuiltPaths())
    {
        paths.insert(path.first, OnTheBox(path));
    }
    return paths;
}

QJsonObject FixedTexts()
{
    QJsonObject texts;
    for (const cNamed& text :
         {NAMED(UPDATE_DOWNLOAD_URL), NAMED(UPDATE_DOWNLOAD_PATH_FIRMWARE),
          NAMED(UPDATE_DOWNLOAD_PATH_CHECKSUM), NAMED(USER_AGENT_STRING),
          NAMED(FIRMWARE_UPDATE_VERSION_FILE), NAMED(FIRMWARE_UPDATE_DSP_VERSION_FILE)})
    {
        texts.insert(text.first, text.second);
    }
    return texts;
}

QJsonArray FreshBoxDirectories()
{
    QJsonArray directories;
    for (const cNamed& path : {NAMED(UPDATER_LOG_FILE), NAMED(ROOTFS_RUNNING_UINITRD_VERSION_FILE),
                               NAMED(DSP_BOARD_DEVICE), NAMED(BOOT_KERNEL_FILE)})
    {
        directories.append(QFileInfo(OnTheBox(path)).path());
    }
    return directories;
}
