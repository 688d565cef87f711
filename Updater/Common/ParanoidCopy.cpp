#include "UpdateUtils.h"

// Placeholder until the careful copy lands.
bool PerformParanoidCopy(const QString&, const QString&) { return false; }
bool ParanoidCopy(const QString&, const QString&, QFlags<QFileDevice::Permission>) { return false; }
bool PerformParanoidSudoCopy(const QString&, const QString&) { return false; }
bool ParanoidSudoCopy(const QString&, const QString&, const QString&) { return false; }
