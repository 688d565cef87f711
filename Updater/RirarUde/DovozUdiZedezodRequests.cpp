#include "DovozUdiZedezod.h"
#include "FixedPaths.h"
#include "USBDeviceUpdater.h"
#include "UpdatePaths.h"
#include "UpdateUtils.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <iostream>

namespace
{
// The DSP board takes its image in update mode 0; the version is not sent in that mode.
constexpr int DSP_UPDATE_MODE = 0;
constexpr float DSP_FIRMWARE_VERSION = 9.9f;
} // namespace

void cDovozUdiZedezod::UpdateFirmware()
{
    WriteUpdateState(UPDATE_STATE_UPDATING);
    qDebug() << "Firmware update request acknowledged";
    Touch(FIRMWARE_UPDATE_REQUEST_FILE);
    std::cout << "Started firmware update";
}

void cDovozUdiZedezod::UpdateDSPBoardFirmware()
{
    WriteUpdateState(UPDATE_STATE_UPDATING_DSP);
    qDebug() << "Acknowledged request to update DSP Firmware.";
    if (QFileInfo::exists(QStringLiteral(DSP_FIRMWARE_IMAGE)))
    {
        qDebug() << "DSP Firmware found. Triggering update.";
        Touch(REQUEST_DSP_FIRMWARE_UPDATE_FILE);
    }
    std::cout << "Started DSP firmware update";
}

void cDovozUdiZedezod::BlockingDSPUpdate()
{
    qDebug() << "Updating DSP Firmware";
    cUSBDeviceUpdater updater(DSP_BOARD_DEVICE, DSP_FIRMWARE_IMAGE, DSP_FIRMWARE_VERSION, false);
    if (updater.UpdateFirmware(DSP_UPDATE_MODE))
    {
        qDebug() << "DSP Firmware update successful.";
    }
    else
    {
        qDebug() << "DSP Firmware update failed.";
    }
    QFile::remove(REQUEST_DSP_FIRMWARE_UPDATE_ON_REBOOT_FILE);
}
