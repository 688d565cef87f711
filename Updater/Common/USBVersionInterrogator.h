#pragma once

#include <QString>
#include <cstdint>
#include <cstdio>

typedef unsigned char UBYTE;
typedef std::uint32_t ULONG;

// Asks one board, through its USB character device, for its versions, a port pin and its ID.
class cUSBInterrogator
{
public:
    explicit cUSBInterrogator(const char* devicePath);
    virtual ~cUSBInterrogator();

    virtual QString GetVersion();
    virtual UBYTE GetBoardID(UBYTE board);
    virtual bool GetPortPin(unsigned char pin);
    virtual ULONG GetBootloaderVersion();

private:
    FILE* mDeviceFile;
    bool mDeviceOpen;
};
