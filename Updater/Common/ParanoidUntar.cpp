#include "UpdateUtils.h"

// Placeholder until the careful unpack lands.
bool PerformParanoidSudoUntar(const QString&, const QString&) { return false; }
bool ParanoidSudoUntar(const QString&, const QString&, const QString&) { return false; }
