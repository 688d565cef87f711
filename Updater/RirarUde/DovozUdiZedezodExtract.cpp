#include "CrashPoint.h"
#include "Deadline.h"
#include "DovozUdiZedezod.h"
#include "FileTree.h"
#include "FirmwarePair.h"
#include "ReplacementFile.h"
#include "ShellProcess.h"
#include "StagingDirectory.h"
#include "StepLogger.h"
#include "UpdateFilesLock.h"
#include "UpdateLimits.h"
#include "UpdatePaths.h"
#include "UpdateUtils.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

namespace
{
// The oldest UpdateDaemon that can take over from the running one.
constexpr int MINIMUM_UPDATE_DAEMON_VERSION = 1;

// How every staging directory of the step is named in the home, after the tree it replaces.
const QString STAGING_PREFIX = QStringLiteral(".Firmware-staging-");

QByteArray FirmwareName()
{
    return QFile::encodeName(QFileInfo(UPDATER_FIRMWARE_DIRECTORY_PATH).fileName());
}

QString YesOrNo(bool value)
{
    return value ? QStringLiteral("Yes") : QStringLiteral("no");
}

void LogFault(const QMessageLogger& log, const char* what, const cTreeFault& fault)
{
    log.debug() << what << QFile::decodeName(fault.entry) << qPrintable(fault.reason);
}

// The archive is unpacked whole into the run's own staging directory, and only the firmware tree
// is taken from there: the home also holds the flag files and the persistent data, and an
// uploaded archive must not be able to put anything beside them. Packers store the tree as
// "Firmware/..." or as "./Firmware/...", which tar unpacks alike; naming the member instead
// would fail the form that is absent. The rest goes with the staging directory. The shell
// execs tar, so that tar dies with the tool should the tool be killed.
QString UnpackCommand(const QString& unpackPath)
{
    return QStringLiteral("exec tar -xJf ") + UPDATER_ARCHIVE_FILE + QStringLiteral(" -C ") +
           unpackPath;
}

// A tar that is still busy when the wait ends, or that gave up half-way, may have left a partial
// firmware tree: only a command that ended by itself with code 0 counts as an unpack.
bool RunUnpackCommand(const QMessageLogger& log, const QString& unpackPath)
{
    const QString command = UnpackCommand(unpackPath);
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
    // The debug stream escapes the line ends inside the quoted text: tar's lines stay one log
    // line, and stay apart.
    const QByteArray errors = started ? untar.ReadAllStandardError() : untar.ErrorString().toUtf8();
    log.debug() << "untar stderr:" << QString::fromUtf8(errors.constData());
    return endedWell;
}

// The unpacked tree takes the firmware directory's place only once it is whole and holds
// nothing but directories and regular files of its own.
bool UnpackIntoPlace(const QMessageLogger& log, cStagingDirectory& staging)
{
    // tar would wait for a FIFO's writer for ever, and a helper of its would outlive it.
    if (!QFileInfo(UPDATER_ARCHIVE_FILE).isFile())
    {
        log.debug() << "Firmware archive is not a regular file";
        return false;
    }
    if (!RunUnpackCommand(log, staging.UnpackPath()))
    {
        return false;
    }
    const cTreeFault fault = staging.CheckTree(FirmwareName());
    if (fault.IsFault())
    {
        LogFault(log, "Unpacked firmware rejected:", fault);
        return false;
    }
    QString reason;
    if (!staging.MoveIntoPlace(FirmwareName(), &reason))
    {
        log.debug() << "Could not move the unpacked firmware into place:" << qPrintable(reason);
        return false;
    }
    CRASH_POINT("tree-in-place");
    return true;
}

// Staging directories of killed runs go first, then the old tree, moved aside in one rename
// and removed there: the firmware directory is never seen half removed.
bool RemoveFirmwareDirectory(const QMessageLogger& log, cStagingDirectory& staging)
{
    for (const cTreeFault& leftover : staging.RemoveLeftovers())
    {
        LogFault(log, "Leftover staging entry kept:", leftover);
    }
    QString reason;
    if (!staging.Create(&reason))
    {
        log.debug() << "Could not create a staging directory:" << qPrintable(reason);
        return false;
    }
    cTreeFault fault;
    if (!staging.MoveAsideAndRemove(FirmwareName(), &fault))
    {
        LogFault(log, "Old firmware entry kept:", fault);
        return false;
    }
    return true;
}

// Reads the first line of the version file as a decimal number; toInt passes over the white
// space around it, the line end included. False when it does not parse, an unreadable file
// included.
bool ReadUpdateDaemonVersion(int* version)
{
    const QByteArray line = ReadFirstLine(FIRMWARE_UPDATE_NEW_DAEMON_VERSION_FILE);
    bool parsed = false;
    *version = QString::fromUtf8(line.constData()).toInt(&parsed, 10);
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

// A firmware directory that could not be cleared first fails the step, and nothing is unpacked:
// after a failure there is either no firmware directory or, when it could not even be moved
// aside, the old one whole.
bool ReplaceFirmwareDirectory(const QMessageLogger& log)
{
    cStagingDirectory staging(PXM_HOME, STAGING_PREFIX);
    const bool removed = RemoveFirmwareDirectory(log, staging);
    log.debug() << "Remove ExtractPath success?" << YesOrNo(removed);

    const bool success = removed && UnpackIntoPlace(log, staging);
    if (success)
    {
        HandOverToNewUpdateDaemon(log);
    }
    log.debug() << "tar -xJf success?" << YesOrNo(success);

    cTreeFault fault;
    if (!staging.Remove(&fault))
    {
        LogFault(log, "Staging entry kept:", fault);
    }
    return success;
}

// Whatever stopped downloads left of their temporary files goes with the pair.
void ConsumePair()
{
    QFile::remove(UPDATER_ARCHIVE_FILE);
    CRASH_POINT("archive-consumed");
    QFile::remove(UPDATER_CHECKSUM_FILE);
    RemoveLeftoverReplacements(UPDATER_ARCHIVE_FILE);
    RemoveLeftoverReplacements(UPDATER_CHECKSUM_FILE);
}
} // namespace

// The archive and its companion are consumed whatever happens: a new attempt needs a new upload
// or download, so a broken archive cannot be retried into a half-installed firmware. Only a step
// that never got at them leaves them: they are another step's.
void cDovozUdiZedezod::ExtractNewFirmware()
{
    const QMessageLogger log = STEP_LOGGER();
    WriteUpdateState(UPDATE_STATE_EXTRACTING);
    const qint64 startTime = QDateTime::currentMSecsSinceEpoch();

    // A download cannot put a new pair in place half-way through and see it consumed unread. A
    // pair a stopped download decided on goes in first.
    bool success = false;
    cUpdateFilesLock lock;
    if (!lock.Acquire(PXM_HOME, UPDATE_FILES_LOCK_WAIT_MS))
    {
        log.debug() << "Could not lock the update files:"
                    << qPrintable(lock.Failure() + QStringLiteral("; the archive stays"));
    }
    else
    {
        FinishPlacingFirmwarePair();
        if (CheckFirmwareExists())
        {
            success = ReplaceFirmwareDirectory(log);
        }
        else
        {
            log.debug() << "No firmware";
        }
        ConsumePair();
    }
    log.debug() << "Extracted Firmware in:" << QDateTime::currentMSecsSinceEpoch() - startTime
                << "ms";
    WriteUpdateState(success ? UPDATE_STATE_EXTRACTED : UPDATE_STATE_FAILED);
}
