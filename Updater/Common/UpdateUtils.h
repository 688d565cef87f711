#pragma once

// The shared update utilities: flag files, the event log, progress states, checksum
// verification, shell commands and careful replacement of files and trees.

#include <QByteArray>
#include <QFileDevice>
#include <QFlags>
#include <QIODevice>
#include <QString>
#include <QtGlobal>

// Path of the event log. The front end defines it; the message handler reads it for every
// message.
extern const char* gUpdaterLogFile;

// The first line of a text file with its line end, cut at FIRST_LINE_CAP_BYTES; nothing when the
// file cannot be read or is not a regular file (a FIFO never holds the reader up). Below the
// service user's home, where everything may have come out of an archive, no link is followed on
// the way; elsewhere (the root file system, which no update writes) links are followed.
QByteArray ReadFirstLine(const QString& path);

// Reads from device up to and including the first line end, at most maxBytes bytes.
QByteArray ReadLineUpTo(QIODevice& device, int maxBytes);

// Leaves an empty flag file at path, in place of whatever was there (a link included). True when
// the empty file is there.
bool Touch(const QString& path);

// Qt message handler that appends one line per message to the event log.
void customMessageHandler(QtMsgType type, const QMessageLogContext& context,
                          const QString& message);

enum eUpdateStates
{
    UPDATE_STATE_UNKNOWN = 0,
    UPDATE_STATE_READY,
    UPDATE_STATE_FAILED,
    UPDATE_STATE_UPLOADING,
    UPDATE_STATE_UPLOADED,
    UPDATE_STATE_DOWNLOADING,
    UPDATE_STATE_DOWNLOADED,
    UPDATE_STATE_EXTRACTING,
    UPDATE_STATE_EXTRACTED,
    UPDATE_STATE_UPDATING,
    UPDATE_STATE_NEEDS_REBOOT,
    UPDATE_STATE_REBOOTING,
    UPDATE_STATE_FINISHED,
    UPDATE_STATE_UPDATED,
    UPDATE_STATE_UPDATING_DSP,
    UPDATE_STATE_UPDATED_DSP,
    UPDATE_STATE_LOST_COMMS,
    UPDATE_STATE_LAST_LEGACY_STATE,
    UPDATE_STATE_WAITING_FOR_FW_VERSION,
    UPDATE_STATE_RECEIVED_FW_VERSION,
    UPDATE_STATE_KOV_EXTRACTING,
    UPDATE_STATE_KOV_UPDATE_FAILED,
    UPDATE_STATE_KOV_EXTRACTED,
    UPDATE_STATE_KOV_EXTRACTED_2,
    UPDATE_STATE_KOV_UPDATING_DSP
};

QString GetStateAsString(eUpdateStates state);
// Records the state as a bare decimal number in UPDATE_PROGRESS_FILE, replacing the file whole.
void WriteUpdateState(int state);

// True when the file's MD5 digest equals the one on the first line of path + ".md5".
bool CheckChecksum(const QString& path);
// The digest a companion file names: the first field of its first line, split at white space.
QString CompanionDigest(const QByteArray& firstLine);
// True when a calculated digest, in lowercase hexadecimal, is the one a companion names.
bool MatchesCompanionDigest(const QByteArray& calculatedHex, const QString& companionDigest);

// Run a command line through /bin/sh until it ends; true on a normal exit with code 0.
bool PerformCommand(const QString& command, const bool& quiet, QString* output);
bool PerformSudoCommand(const QString& command, const bool& quiet, QString* output);

// Replace target by a copy of source, keeping the previous content until the copy is in place.
bool PerformParanoidCopy(const QString& source, const QString& target);
bool ParanoidCopy(const QString& source, const QString& target,
                  QFlags<QFileDevice::Permission> permissions);
bool PerformParanoidSudoCopy(const QString& source, const QString& target);
bool ParanoidSudoCopy(const QString& source, const QString& target, const QString& permissions);

// Unpack archive in place of target, moving the previous content back when unpacking fails.
bool PerformParanoidSudoUntar(const QString& archive, const QString& target);
bool ParanoidSudoUntar(const QString& archive, const QString& target, const QString& permissions);
