#include "DovozUdiZedezod.h"
#include "DownloadBody.h"
#include "FirmwarePair.h"
#include "PartialBody.h"
#include "StepGuard.h"
#include "StepLogger.h"
#include "UpdateLimits.h"
#include "UpdatePaths.h"
#include "UpdateUtils.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QUrl>
#include <limits>

namespace
{
const QString FIRMWARE_ERROR_KEY = QStringLiteral("Firmware Download Error");
const QString FIRMWARE_SUCCESS_KEY = QStringLiteral("Firmware Download Successful");
const QString CHECKSUM_ERROR_KEY = QStringLiteral("Checksum Download Error");
const QString CHECKSUM_SUCCESS_KEY = QStringLiteral("Checksum Download Successful");

// The archive is as large as the disk lets it be.
constexpr qint64 ARCHIVE_MAX_BYTES = std::numeric_limits<qint64>::max();
// A companion is a digest and a file name, perhaps a few of them: a server that sends more is
// not sending a companion, and must not fill the disk with it.
constexpr qint64 CHECKSUM_MAX_BYTES = 64 * 1024;

// The version text keeps the line end of its file, which no header value may carry.
QByteArray UserAgent(const QString& firmwareVersion)
{
    const int lineEnd = firmwareVersion.indexOf(QRegularExpression(QStringLiteral("[\r\n]")));
    return (USER_AGENT_STRING + firmwareVersion.left(lineEnd)).toLocal8Bit();
}

QNetworkRequest DownloadRequest(const QString& serverPath, const QString& firmwareVersion)
{
    // The address has no scheme, so the leading slashes make it the host (and port).
    QUrl url(QStringLiteral("//") + UPDATE_DOWNLOAD_URL + QStringLiteral("/") + serverPath,
             QUrl::TolerantMode);
    url.setScheme(QStringLiteral("http"));

    QNetworkRequest request;
    request.setUrl(url);
    request.setRawHeader("User-Agent", UserAgent(firmwareVersion));
    // Qt asks for compressed bodies and inflates them in memory unless a request names its
    // own encodings; the bytes to verify and store are the file's own.
    request.setRawHeader("Accept-Encoding", "identity");
    return request;
}

// The archive goes into the partial body that runs hand on, unless another download holds it.
std::unique_ptr<cBodyFile> OpenArchiveBody()
{
    std::unique_ptr<cBodyFile> partial = cPartialBody::Take();
    return partial ? std::move(partial) : OpenTemporaryBody(UPDATER_ARCHIVE_FILE);
}
} // namespace

void cDovozUdiZedezod::UpdateFirmwareFromInternet()
{
    mStepGuard.reset(new cStepGuard());
    SetLastWords();
    DownloadFirmware();
    DownloadFirmwareChecksum();
    QEventLoop loop;
    loop.exec();
}

void cDovozUdiZedezod::DownloadFirmware()
{
    mFirmwareBody.reset(
        new cDownloadBody(OpenArchiveBody(), ARCHIVE_MAX_BYTES, DOWNLOAD_RETRIES, *mStepGuard));
    connect(mFirmwareBody.get(), &cDownloadBody::Finished, this,
            &cDovozUdiZedezod::FirmwareDownloadReply);
    mFirmwareBody->Start(NetworkManager(), Request(STEP_LOGGER(), UPDATE_DOWNLOAD_PATH_FIRMWARE));
}

// The companion is small: it is always fetched whole.
void cDovozUdiZedezod::DownloadFirmwareChecksum()
{
    mChecksumBody.reset(new cDownloadBody(OpenTemporaryBody(UPDATER_CHECKSUM_FILE),
                                          CHECKSUM_MAX_BYTES, 0, *mStepGuard));
    connect(mChecksumBody.get(), &cDownloadBody::Finished, this,
            &cDovozUdiZedezod::FirmwareChecksumDownloadReply);
    mChecksumBody->Start(NetworkManager(), Request(STEP_LOGGER(), UPDATE_DOWNLOAD_PATH_CHECKSUM));
}

QNetworkRequest cDovozUdiZedezod::Request(const QMessageLogger& log, const QString& serverPath)
{
    const QNetworkRequest request = DownloadRequest(serverPath, GetFirmwareVersion());
    log.debug() << "getting" << request.url();
    return request;
}

QNetworkAccessManager* cDovozUdiZedezod::NetworkManager()
{
    if (!mNetworkManager)
    {
        mNetworkManager = new QNetworkAccessManager();
    }
    return mNetworkManager;
}

void cDovozUdiZedezod::FirmwareDownloadReply()
{
    const QMessageLogger log = STEP_LOGGER();
    log.debug() << "Firmware download reply received";
    HandleDownloadReply(log, mFirmwareBody.get(), FIRMWARE_ERROR_KEY, FIRMWARE_SUCCESS_KEY,
                        mFirmwareDownloaded, mChecksumDownloaded);
}

void cDovozUdiZedezod::FirmwareChecksumDownloadReply()
{
    const QMessageLogger log = STEP_LOGGER();
    log.debug() << "Firmware checksum download reply received";
    HandleDownloadReply(log, mChecksumBody.get(), CHECKSUM_ERROR_KEY, CHECKSUM_SUCCESS_KEY,
                        mChecksumDownloaded, mFirmwareDownloaded);
}

// The two replies are handled alike but for their result members and flags, each in the name of
// the slot that received it. A transfer that failed, on the network or on the disk, ends the
// step at once: the pair can no longer be completed.
void cDovozUdiZedezod::HandleDownloadReply(const QMessageLogger& log, cDownloadBody* body,
                                           const QString& errorKey, const QString& successKey,
                                           bool& transferGood, bool otherTransferGood)
{
    const QNetworkReply::NetworkError error = body->Error();
    mDownloadResult.insert(errorKey, error);
    // Neither file is in place until both are.
    mDownloadResult.insert(successKey, false);
    SetLastWords();
    if (error != QNetworkReply::NoError)
    {
        EndDownloads();
        return;
    }
    log.debug() << "Wrote" << body->BytesWritten() << "bytes";
    if (!body->Stored())
    {
        EndDownloads();
        return;
    }
    transferGood = true;
    if (otherTransferGood)
    {
        log.debug() << "Got both";
        PutPairInPlace(log);
        EndDownloads();
    }
}

// The archive's digest was taken as it was written; a body the companion does not describe
// replaces nothing, whatever its framing or announced length claimed.
void cDovozUdiZedezod::PutPairInPlace(const QMessageLogger& log)
{
    const QByteArray calculated = mFirmwareBody->HexDigest();
    const QString expected = CompanionDigest(mChecksumBody->FirstLine());
    log.debug() << "Calculated:" << calculated;
    log.debug() << "Read:      " << expected;
    if (!MatchesCompanionDigest(calculated, expected))
    {
        log.debug() << "The checksum does not describe the archive: the previous files stay";
        mDownloadResult.insert(FIRMWARE_ERROR_KEY, QNetworkReply::UnknownContentError);
        mFirmwareBody->Drop(QStringLiteral("the archive does not match the companion"));
        mChecksumBody->Drop(QStringLiteral("it does not describe the archive"));
        return;
    }
    CommitPair(log);
}

// Both files are on the disk before either replaces its target, and only then is the update
// files lock taken: a transfer, however long, never holds up an extraction, and an extraction
// holds up only this last moment. The lock is kept until the step ends, so that what the result
// reports is still so when it is printed. Each success member says what is in place afterwards.
void cDovozUdiZedezod::CommitPair(const QMessageLogger& log)
{
    const cStepGuard::cOwnWork committing(*mStepGuard);
    const bool bothOnDisk = mFirmwareBody->Sync() && mChecksumBody->Sync();
    if (bothOnDisk && !mUpdateFilesLock.Acquire(PXM_HOME, UPDATE_FILES_LOCK_WAIT_MS))
    {
        log.debug() << "Could not lock the update files:"
                    << qPrintable(mUpdateFilesLock.Failure() +
                                  QStringLiteral("; the previous files stay"));
        return;
    }
    const cPairPlaced placed = bothOnDisk
                                   ? PlaceFirmwarePair(mFirmwareBody->File(), mChecksumBody->File())
                                   : cPairPlaced{false, false};
    mDownloadResult.insert(FIRMWARE_SUCCESS_KEY, placed.archive);
    mDownloadResult.insert(CHECKSUM_SUCCESS_KEY, placed.companion);
    if (!placed.companion)
    {
        log.debug() << "Could not put the files in place; the archive is new:" << placed.archive;
    }
}

// Quitting ends the step's loop; a transfer still running is abandoned with the manager. The
// result is printed once, and only then is Qt torn down, which the guard does not wait for long.
void cDovozUdiZedezod::EndDownloads()
{
    mFirmwareBody->Abandon();
    mChecksumBody->Abandon();
    mStepGuard->PrintOnce(ResultText(QJsonDocument(mDownloadResult)));
    QCoreApplication::quit();
}

// What the step prints should the guard have to end it: each transfer not yet handled is
// reported as one that was given up on.
void cDovozUdiZedezod::SetLastWords()
{
    QJsonObject ifEndedNow = mDownloadResult;
    for (const auto& keys : {std::make_pair(FIRMWARE_ERROR_KEY, FIRMWARE_SUCCESS_KEY),
                             std::make_pair(CHECKSUM_ERROR_KEY, CHECKSUM_SUCCESS_KEY)})
    {
        if (!ifEndedNow.contains(keys.first))
        {
            ifEndedNow.insert(keys.first, QNetworkReply::OperationCanceledError);
            ifEndedNow.insert(keys.second, false);
        }
    }
    mStepGuard->SetLastWords(ResultText(QJsonDocument(ifEndedNow)));
}
