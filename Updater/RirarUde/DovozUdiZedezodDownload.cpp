#include "DovozUdiZedezod.h"

// Placeholder until the download step lands.
void cDovozUdiZedezod::UpdateFirmwareFromInternet() {}
void cDovozUdiZedezod::DownloadFirmware() {}
void cDovozUdiZedezod::DownloadFirmwareChecksum() {}
void cDovozUdiZedezod::FirmwareDownloadReply() {}
void cDovozUdiZedezod::FirmwareChecksumDownloadReply() {}
