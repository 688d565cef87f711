#include "UpdateUtils.h"

// Placeholder until checksum verification lands.
bool CheckChecksum(const QString&) { return false; }
