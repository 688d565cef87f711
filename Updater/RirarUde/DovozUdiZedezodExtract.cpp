#include "DovozUdiZedezod.h"

// Placeholder until the extraction step lands.
void cDovozUdiZedezod::ExtractNewFirmware() {}
