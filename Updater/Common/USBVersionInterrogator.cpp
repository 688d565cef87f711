#include "USBVersionInterrogator.h"

// Placeholder until the board protocol lands: behaves as a board that cannot be opened.
cUSBInterrogator::cUSBInterrogator(const char*) : mDeviceFile(nullptr), mDeviceOpen(false) {}
cUSBInterrogator::~cUSBInterrogator() = default;
QString cUSBInterrogator::GetVersion() { return QString(); }
UBYTE cUSBInterrogator::GetBoardID(UBYTE) { return 0; }
bool cUSBInterrogator::GetPortPin(unsigned char) { return false; }
ULONG cUSBInterrogator::GetBootloaderVersion() { return 0; }
