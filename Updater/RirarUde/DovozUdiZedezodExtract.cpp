#include "DovozUdiZedezod.h"
#include "ShellProcess.h"
#include "UpdateLimits.h"
#include "UpdateUtils.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

// Every line of the step is logged in the name of ExtractNewFirmware, which is how readers of
// the event log know them; the helpers below write through the step's own logger.

namespace
{
// The oldest UpdateDaemon that can take over from the running one.
constexpr int MINIMUM_UPDATE_DAEMON_VERSION = 1;

QString YesOrNo(bool value)
{
    return value ? QStringLiteral("Yes") : QStringLiteral("no");
}

// Only the firmware tree is unpacked: the home directory also holds the flag files and the
// persistent data, and an uploaded archive must not be able to put anything beside them.
QString UnpackCommand()
{
    return QStringLiteral("tar -xJf ") + UPDATER_ARCHIVE_FILE + QStringLiteral(" -C ") + PXM_HOME +
           QLatin1Char(' ') + QFileInfo(UPDATER_FIRMWARE_DIRECTORY_PATH).fileName();
}

// A tar that is still busy when the wait ends, or that gave up half-way, may have left a partial
// firmware tree: only a command that ended by itself with code 0 counts as an unpack.
bool RunUnpackCommand(const QMessageLogger& log)
{
    const QString command = UnpackCommand();
    log.debug() << "Extracting with the following command:\n"
                << QStringLiteral("sh -c \"") + command + QLatin1Char('"');

    cShellProcess untar;
    const bool started = untar.Start(command);
    const cDeadline deadline(EXTRACT_WAIT_MS);
    const bool endedInTime = started && untar.WaitForEnd(&deadline);
    if (started && !endedInTime)
    {
        log.debug() << "untar still running after" << EXTRACT_WAIT_MS << "ms, stopping it";
    }
    untar.EndAndReap();

    const bool endedWell = endedInTime && untar.EndedWell();
    if (endedInTime && !endedWell)
    {
        log.debug() << "untar exit code:" << untar.ExitCode();
    }
    // A shell that could not be started leaves no error output; Qt's reason stands in for it.
    const QByteArray errors = started ? untar.ReadAllStandardError() : untar.ErrorString().toUtf8();
    log.debug() << "untar stderr:"
                << QString::fromUtf8(errors.constData()).remove(QLatin1Char('\n'));
    return endedWell;
}

// Reads the first line of the version file as a decimal number. False when it does not parse,
// an unreadable file included.
bool ReadUpdateDaemonVersion(int* version)
{
    const QByteArray line = ReadFirstLine(FIRMWARE_UPDATE_NEW_DAEMON_VERSION_FILE);
    bool parsed = false;
    *version = QString::fromUtf8(line.constData()).trimmed().toInt(&parsed, 10);
    return parsed;
}

// The UpdateDaemon relaunches itself from the new firmware only when told so by the flag, and
// only a versioned daemon that is recent enough may be trusted with that.
void HandOverToNewUpdateDaemon(const QMessageLogger& log)
{
    if (!QFileInfo::exists(FIRMWARE_UPDATE_NEW_DAEMON))
    {
        return;
    }
    if (!QFileInfo::exists(FIRMWARE_UPDATE_NEW_DAEMON_VERSION_FILE))
    {
        log.debug() << "Firmware contains new UpdateDaemon, but it is unversioned (old)";
        return;
    }
    int version = 0;
    if (!ReadUpdateDaemonVersion(&version))
    {
        log.debug() << "Firmware contains new UpdateDaemon, but the version could not be parsed";
        return;
    }
    if (version < MINIMUM_UPDATE_DAEMON_VERSION)
    {
        log.debug() << "Firmware contains new UpdateDaemon, but it is version" << version
                    << "and the minimum supported is" << MINIMUM_UPDATE_DAEMON_VERSION;
        return;
    }
    log.debug() << "Firmware contains new UpdateDaemon";
    Touch(RELAUNCH_UPDATE_DAEMON_FILE);
}

// A firmware directory that could not be cleared first may mix old and new files, so it fails
// the step even when the unpack went well.
bool ReplaceFirmwareDirectory(const QMessageLogger& log)
{
    const bool removed = QDir(UPDATER_FIRMWARE_DIRECTORY_PATH).removeRecursively();
    log.debug() << "Remove ExtractPath success?" << YesOrNo(removed);

    const bool unpacked = RunUnpackCommand(log);
    const bool success = removed && unpacked && QFileInfo::exists(UPDATER_FIRMWARE_DIRECTORY_PATH);
    if (success)
    {
        HandOverToNewUpdateDaemon(log);
    }
    log.debug() << "tar -xJf success?" << YesOrNo(success);
    return success;
}
} // namespace

// The archive and its companion are consumed whatever happens: a new attempt needs a new upload
// or download, so a broken archive cannot be retried into a half-installed firmware.
void cDovozUdiZedezod::ExtractNewFirmware()
{
    const QMessageLogger log(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC);
    WriteUpdateState(UPDATE_STATE_EXTRACTING);
    const qint64 startTime = QDateTime::currentMSecsSinceEpoch();

    bool success = false;
    if (CheckFirmwareExists())
    {
        success = ReplaceFirmwareDirectory(log);
    }
    else
    {
        log.debug() << "No firmware";
    }

    QFile::remove(UPDATER_ARCHIVE_FILE);
    QFile::remove(UPDATER_CHECKSUM_FILE);
    log.debug() << "Extracted Firmware in:" << QDateTime::currentMSecsSinceEpoch() - startTime
                << "ms";
    WriteUpdateState(success ? UPDATE_STATE_EXTRACTED : UPDATE_STATE_FAILED);
}
