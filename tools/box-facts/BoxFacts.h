#pragma once

// The parts of the box's facts file, each taken from the code that uses the fact.

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// Stops the generator: a fact it reads off the code is not what the facts file can describe.
[[noreturn]] void Refuse(const QString& why);

// Every fixed path by its C++ name, as an absolute path on a box (without the box root).
QJsonObject FixedPaths();
// The fixed texts that are not paths: server address, download paths, archive members, agent.
QJsonObject FixedTexts();
// The directories of a fresh box: those holding the event log, the running firmware's version
// file, the board's device and the boot files.
QJsonArray FreshBoxDirectories();

// Every progress state: its value, its enumerator and its text.
QJsonArray ProgressStates();

// The waits and caps of UpdateLimits.h by their C++ names: as this build has them, and as a
// box build has them (a test build shortens the waits).
QJsonObject BuiltLimits();
QJsonObject BoxBuildLimits();

// A regular expression for the "[<time stamp>] " that opens every event-log line.
QString LogTimestampPattern();
