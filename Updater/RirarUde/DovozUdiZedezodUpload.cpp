#include "DovozUdiZedezod.h"

// Placeholder until the upload check lands.
void cDovozUdiZedezod::CheckNewFirmware() {}
QString cDovozUdiZedezod::GetNewFirmwareVersion(const QString&) { return QString(); }
bool cDovozUdiZedezod::CheckFirmwareChecksum() { return mFirmwareChecksumValid; }
