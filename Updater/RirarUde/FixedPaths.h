#pragma once

// Fixed paths of the front end and the controller that are not part of the shared set.

#include "UpdatePaths.h"

#define UPDATER_LOG_FILE                                                                           \
    BOX_PATH("/home/pxm/PXMPersistentData/DovozUdiZedezod/EventLogs/Updater.log")
#define REBOOT_REQUIRED_FILE_PATH BOX_PATH("/home/pxm/.reboot_required")
// The DSP board's character device and the image written to it.
#define DSP_BOARD_DEVICE BOX_PATH("/dev/qv_core_rack")
#define DSP_FIRMWARE_IMAGE BOX_PATH("/home/pxm/Firmware/R9_CoreRack_M4.bin")
// The archive's body as far as a download got with it, kept beside the archive (it is renamed to
// it once whole) for the next download to resume, and the record of what resuming it needs.
#define UPDATER_PARTIAL_ARCHIVE_FILE BOX_PATH("/home/pxm/Firmware.tar.xz.partial")
#define UPDATER_PARTIAL_ARCHIVE_RECORD_FILE BOX_PATH("/home/pxm/Firmware.tar.xz.partial.resume")
