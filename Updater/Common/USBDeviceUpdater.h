#pragma once

#include <cstdio>

struct DeviceUpdateLookupEntry
{
    const char* device;
    float minVersion;
    float maxVersion;
    int updateMode;
};

// Writes a firmware image to one board through its USB character device, in framed,
// checksummed messages of at most 512 bytes.
class cUSBDeviceUpdater
{
public:
    cUSBDeviceUpdater(const char* devicePath, const char* firmwarePath, float version,
                      bool updateBootloader);
    cUSBDeviceUpdater(const char* devicePath, const char* firmwarePath, const char* versionFilePath,
                      bool updateBootloader);
    virtual ~cUSBDeviceUpdater();

    bool UpdateFirmware(int updateMode);
    bool UpdateFirmwareViaLookup(float version);

    static const DeviceUpdateLookupEntry mDeviceUpdateLookup[13];

private:
    void SetupFiles();

    FILE* mDeviceFile;
    FILE* mFirmwareFile;
    const char* mDevicePath;
    const char* mFirmwarePath;
    float mFirmwareVersion;
    bool mUpdateBootloader;
    bool mFirmwareOpen;
    bool mDeviceOpen;
};
