#include "USBDeviceUpdater.h"

// Placeholder until the transfer protocol lands: every transfer fails.
const DeviceUpdateLookupEntry cUSBDeviceUpdater::mDeviceUpdateLookup[13] = {};

cUSBDeviceUpdater::cUSBDeviceUpdater(const char* devicePath, const char* firmwarePath,
                                     float version, bool updateBootloader)
    : mDeviceFile(nullptr), mFirmwareFile(nullptr), mDevicePath(devicePath),
      mFirmwarePath(firmwarePath), mFirmwareVersion(version), mUpdateBootloader(updateBootloader),
      mFirmwareOpen(false), mDeviceOpen(false)
{
}
cUSBDeviceUpdater::cUSBDeviceUpdater(const char* devicePath, const char* firmwarePath,
                                     const char*, bool updateBootloader)
    : cUSBDeviceUpdater(devicePath, firmwarePath, 9.9f, updateBootloader)
{
}
cUSBDeviceUpdater::~cUSBDeviceUpdater() = default;
void cUSBDeviceUpdater::SetupFiles() {}
bool cUSBDeviceUpdater::UpdateFirmware(int) { return false; }
bool cUSBDeviceUpdater::UpdateFirmwareViaLookup(float) { return false; }
