#include "Deadline.h"
#include "DovozUdiZedezod.h"
#include "ShellProcess.h"
#include "StepLogger.h"
#include "UpdateLimits.h"
#include "UpdatePaths.h"
#include "UpdateUtils.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QJsonDocument>

namespace
{
// tar would decompress the archive to its very end after the member, looking for later copies
// of it; the version is on the first line, so tar is stopped as soon as that line has come and
// the check costs only as much of the archive as lies in front of the member. The member is
// named in both forms that packers store and the extraction installs, "Firmware/..." and
// "./Firmware/...": tar writes whichever it meets first, and complains on its standard error
// about the other only if it reaches the archive's end. The shell execs tar, so that tar dies
// with the tool should the tool be killed.
QByteArray FirstLineOfArchiveMember(const QMessageLogger& log, const QString& member)
{
    // tar would wait for a FIFO's writer for ever, and a helper of its would outlive it.
    if (!QFileInfo(UPDATER_ARCHIVE_FILE).isFile())
    {
        return QByteArray();
    }
    const QString command = QStringLiteral("exec tar -xJOf ") + UPDATER_ARCHIVE_FILE +
                            QLatin1Char(' ') + member + QStringLiteral(" ./") + member;
    cShellProcess untar;
    if (!untar.Start(command, cShellProcess::eErrorOutput::Forwarded))
    {
        return QByteArray();
    }
    QByteArray line;
    if (!untar.ReadFirstLine(FIRST_LINE_CAP_BYTES, cDeadline(UPLOAD_CHECK_WAIT_MS), &line))
    {
        log.debug() << "untar still running after" << UPLOAD_CHECK_WAIT_MS << "ms, stopping it";
    }
    return line;
}

// An extracted firmware directory is what will be installed, so it answers rather than an
// archive that may since have been uploaded beside it.
QByteArray FirstLineOfNewFirmwareMember(const QMessageLogger& log, const QString& member)
{
    if (QFileInfo::exists(UPDATER_FIRMWARE_DIRECTORY_PATH))
    {
        return ReadFirstLine(PXM_HOME + QLatin1Char('/') + member);
    }
    if (QFileInfo::exists(UPDATER_ARCHIVE_FILE))
    {
        return FirstLineOfArchiveMember(log, member);
    }
    return QByteArray();
}
} // namespace

void cDovozUdiZedezod::CheckNewFirmware()
{
    qDebug() << "Checking new firmware.";

    QJsonObject versions;
    versions.insert(QStringLiteral("Firmware Version"),
                    GetNewFirmwareVersion(FIRMWARE_UPDATE_VERSION_FILE));
    versions.insert(QStringLiteral("DSP Firmware Version"),
                    GetNewFirmwareVersion(FIRMWARE_UPDATE_DSP_VERSION_FILE));

    PrintResult(QJsonDocument(versions));
}

// Unlike the running version, a new version loses its line feed (a carriage return stays).
QString cDovozUdiZedezod::GetNewFirmwareVersion(const QString& member)
{
    const QMessageLogger log = STEP_LOGGER();
    const qint64 startTime = QDateTime::currentMSecsSinceEpoch();
    QString version = QString::fromUtf8(FirstLineOfNewFirmwareMember(log, member).constData());
    version.remove(QLatin1Char('\n'));
    log.debug() << "Checked Firmware version in:" << QDateTime::currentMSecsSinceEpoch() - startTime
                << "ms";
    return version;
}

// Only a match is remembered: a failed check may have met an image that was still being written.
bool cDovozUdiZedezod::CheckFirmwareChecksum()
{
    const qint64 startTime = QDateTime::currentMSecsSinceEpoch();
    if (!mFirmwareChecksumValid)
    {
        mFirmwareChecksumValid = CheckChecksum(UPDATER_UINITRD_FILE);
    }
    qDebug() << "Checked Firmware Checksum in:" << QDateTime::currentMSecsSinceEpoch() - startTime
             << "ms";
    return mFirmwareChecksumValid;
}
