#include "UpdatePaths.h"

#define PATH_CONSTANT(name, absolutePath)                                                          \
    const QString name = QStringLiteral(BOX_PATH(absolutePath))
#define TEXT_CONSTANT(name, text) const QString name = QStringLiteral(text)

TEXT_CONSTANT(UPDATE_DOWNLOAD_URL, RIRARUDE_FIRMWARE_SERVER);
TEXT_CONSTANT(UPDATE_DOWNLOAD_PATH_FIRMWARE, "Downloads/Latest/Firmware.tar.xz");
TEXT_CONSTANT(UPDATE_DOWNLOAD_PATH_CHECKSUM, "Downloads/Latest/Firmware.tar.xz.md5");
TEXT_CONSTANT(USER_AGENT_STRING, "Quorvane PXM RirarUde ");

PATH_CONSTANT(PXM_HOME, "/home/pxm");
PATH_CONSTANT(FIRMWARE_UPDATE_REQUEST_FILE, "/home/pxm/.update_requested");
PATH_CONSTANT(RUN_UPDATER_FILE, "/home/pxm/.perform_update");
PATH_CONSTANT(RELAUNCH_UPDATE_DAEMON_FILE, "/home/pxm/.relaunch_update_daemon");
PATH_CONSTANT(REQUEST_DSP_FIRMWARE_UPDATE_FILE, "/home/pxm/.dsp_update_requested");
PATH_CONSTANT(REQUEST_DSP_FIRMWARE_UPDATE_ON_REBOOT_FILE,
              "/home/pxm/.dsp_update_on_boot_requested");
PATH_CONSTANT(UPDATE_PROGRESS_FILE, "/home/pxm/.update_progress");
PATH_CONSTANT(HTTP_SERVER_START_FILE, "/home/pxm/.start_update_reporting");
PATH_CONSTANT(HTTP_SERVER_ENABLED_FILE, "/home/pxm/.update_reporting_enabled");
PATH_CONSTANT(HTTP_SERVER_STOP_FILE, "/home/pxm/.stop_update_reporting");

PATH_CONSTANT(UPDATER_ARCHIVE_FILE, "/home/pxm/Firmware.tar.xz");
PATH_CONSTANT(UPDATER_CHECKSUM_FILE, "/home/pxm/Firmware.tar.xz.md5");
PATH_CONSTANT(UPDATER_FIRMWARE_DIRECTORY_PATH, "/home/pxm/Firmware");
PATH_CONSTANT(UPDATER_UINITRD_VERSION_FILE, "/home/pxm/Firmware/Version.txt");
PATH_CONSTANT(UPDATER_UINITRD_FILE, "/home/pxm/Firmware/uInitrd");
PATH_CONSTANT(UPDATER_UINITRD_CHECKSUM_FILE, "/home/pxm/Firmware/uInitrd.md5");
PATH_CONSTANT(UPDATER_KERNEL_VERSION_FILE, "/home/pxm/Firmware/KernelVersion.txt");
PATH_CONSTANT(UPDATER_KERNEL_FILE, "/home/pxm/Firmware/zImage");
PATH_CONSTANT(UPDATER_UBOOT_VERSION_FILE, "/home/pxm/Firmware/UBootVersion.txt");
PATH_CONSTANT(UPDATER_UBOOT_FILE, "/home/pxm/Firmware/u-boot.imx");

PATH_CONSTANT(BOOT_KERNEL_VERSION_FILE, "/boot/KernelVersion.txt");
PATH_CONSTANT(BOOT_KERNEL_FILE, "/boot/zImage");
PATH_CONSTANT(BOOT_KERNEL_TMP_FILE, "/boot/zImage-new");
PATH_CONSTANT(BOOT_KERNEL_DTB_FILE, "/boot/imx6dl-edm1-cf_fairy.dtb");
PATH_CONSTANT(BOOT_KERNEL_DTB_TMP_FILE, "/boot/imx6dl-edm1-cf_fairy-new.dtb");
PATH_CONSTANT(BOOT_UBOOT_VERSION_FILE, "/boot/UBootVersion.txt");
PATH_CONSTANT(BOOT_UINITRD_FILE, "/boot/uInitrd");
PATH_CONSTANT(BOOT_FALLBACK_UINITRD_FILE, "/boot/uInitrd-fallback");
PATH_CONSTANT(BOOT_UINITRD_TMP_LOCATION, "/boot/uInitrd-new");
PATH_CONSTANT(BOOT_UENV_FILE, "/boot/uEnv.txt");
PATH_CONSTANT(ROOTFS_RUNNING_UINITRD_VERSION_FILE, "/etc/InitrdVersion.txt");
PATH_CONSTANT(ROOTFS_LAST_UPDATED_UINITRD_VERSION_FILE,
              "/home/pxm/PXMPersistentData/InitrdVersion.txt");

PATH_CONSTANT(FIRMWARE_UPDATE_DSP_FIRMWARE_CHECKSUM, "/home/pxm/Firmware/R9_CoreRack_M4.bin.md5");
PATH_CONSTANT(FIRMWARE_UPDATE_NEW_DAEMON, "/home/pxm/Firmware/UpdateDaemon");
PATH_CONSTANT(FIRMWARE_UPDATE_NEW_DAEMON_VERSION_FILE, "/home/pxm/Firmware/UpdateDaemonVersion");
TEXT_CONSTANT(FIRMWARE_UPDATE_VERSION_FILE, "Firmware/Version.txt");
TEXT_CONSTANT(FIRMWARE_UPDATE_DSP_VERSION_FILE, "Firmware/R9_CoreRack_M4_Version");
PATH_CONSTANT(UPDATE_DAEMON_PATH, "/bin/UpdateDaemon");
PATH_CONSTANT(RIRARUDE_HOSTNAME_FILE_PATH,
              "/home/pxm/PXMPersistentData/Surface/RirarUdeHostName.dat");
PATH_CONSTANT(NETWORKING_SH_FILE, "/home/pxm/config/networking.sh");
