#pragma once

// The event log names the function that logged each line, and its readers know a step's lines by
// the step's name. A macro, so that the name it takes is that of the function that uses it.

#include <QMessageLogger>

// Rule: a step makes its logger here, once, and every helper that logs for it writes through it.
#define STEP_LOGGER() QMessageLogger(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC)
