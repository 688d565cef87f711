#include "UpdateUtils.h"

// Placeholder until the shell runner lands.
bool PerformCommand(const QString&, const bool&, QString*) { return false; }
bool PerformSudoCommand(const QString&, const bool&, QString*) { return false; }
