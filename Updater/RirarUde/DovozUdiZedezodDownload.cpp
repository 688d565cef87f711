#include "DovozUdiZedezod.h"
#include "UpdateLimits.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUrl>
#include <fcntl.h>

namespace
{
const QString FIRMWARE_ERROR_KEY = QStringLiteral("Firmware Download Error");
const QString FIRMWARE_SUCCESS_KEY = QStringLiteral("Firmware Download Successful");
const QString CHECKSUM_ERROR_KEY = QStringLiteral("Checksum Download Error");
const QString CHECKSUM_SUCCESS_KEY = QStringLiteral("Checksum Download Successful");

// How much of a body Qt may hold before the disk has taken it. Without a bound Qt buffers all
// that the network delivers faster than the disk writes, and an archive larger than the box's
// free memory kills the tool; much smaller and the system calls per byte start to show.
constexpr qint64 DOWNLOAD_READ_BUFFER_BYTES = 512 * 1024;

// How much of a body is left in the page cache before it is handed to the disk.
constexpr qint64 WRITEBACK_STRETCH_BYTES = 8 * 1024 * 1024;

constexpr int HTTP_OK = 200;

// Streams one reply's body into a temporary file beside its target. Only Commit() puts the file
// in the target's place; until then the old target stays as it was. Parented to the reply, so a
// transfer that fails or is abandoned takes its temporary file with it.
class cBodyFile : public QObject
{
    Q_OBJECT

public:
    cBodyFile(const QString& target, QNetworkReply* reply) : QObject(reply), mFile(target)
    {
        mIntact = mFile.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
        connect(reply, &QNetworkReply::readyRead, this, [this, reply] { TakeArrived(reply); });
    }

    // Always drains the reply: a bounded read buffer left full would stall the transfer.
    void TakeArrived(QNetworkReply* reply)
    {
        const QByteArray chunk = reply->readAll();
        // The body of a redirect or an error page is not the file asked for.
        if (HttpStatus(reply) != HTTP_OK)
        {
            return;
        }
        mReceived += chunk.size();
        if (mIntact)
        {
            Append(chunk);
        }
    }

    // Body bytes the server delivered, whether or not they reached the file.
    qint64 Received() const { return mReceived; }

    // Bytes that reached the file, or -1 when it could not be opened.
    qint64 BytesWritten() const { return mFile.isOpen() ? mFile.pos() : -1; }

    // True only when the whole body is on disk under the target's name.
    bool Commit() { return mIntact && mFile.commit(); }

    static int HttpStatus(const QNetworkReply* reply)
    {
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }

private:
    void Append(const QByteArray& chunk)
    {
        // A full disk can take part of a chunk without reporting an error.
        if (mFile.write(chunk) != chunk.size())
        {
            mIntact = false;
            mFile.cancelWriting();
            return;
        }
        StartWriteback();
    }

    // The file must be on disk before it replaces the target. Handing each stretch to the disk
    // as it arrives overlaps that writing with the transfer, instead of leaving it all to one
    // long flush at the end.
    void StartWriteback()
    {
        const qint64 written = mFile.pos();
        if (written - mWritebackStart >= WRITEBACK_STRETCH_BYTES)
        {
            sync_file_range(mFile.handle(), mWritebackStart, written - mWritebackStart,
                            SYNC_FILE_RANGE_WRITE);
            mWritebackStart = written;
        }
    }

    QSaveFile mFile;
    bool mIntact = false;
    qint64 mReceived = 0;
    qint64 mWritebackStart = 0;
};

QNetworkReply* StreamToFile(QNetworkReply* reply, const QString& targetFile)
{
    reply->setReadBufferSize(DOWNLOAD_READ_BUFFER_BYTES);
    new cBodyFile(targetFile, reply);
    return reply;
}

// The reply's file, with whatever of the body was still waiting to be read.
cBodyFile* FinishedBodyFile(QNetworkReply* reply)
{
    auto* body = reply->findChild<cBodyFile*>(QString(), Qt::FindDirectChildrenOnly);
    body->TakeArrived(reply);
    return body;
}

// A body shorter than its announced length is a connection that broke off. Qt normally says so,
// but not always: on a slow processor a cut body has been seen reported as complete. (A body Qt
// has decompressed has another length than the one announced.)
bool BodyShorterThanAnnounced(const QNetworkReply* reply, const cBodyFile* body)
{
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    return announced.isValid() && !reply->hasRawHeader("Content-Encoding") &&
           body->Received() != announced.toLongLong();
}

// With redirects not followed Qt reports no error for a 3xx, and it would be stored as the
// file: only a 200 with its whole body is a good transfer.
QNetworkReply::NetworkError TransferError(const QNetworkReply* reply, const cBodyFile* body)
{
    if (reply->error() != QNetworkReply::NoError)
    {
        return reply->error();
    }
    if (cBodyFile::HttpStatus(reply) != HTTP_OK)
    {
        return QNetworkReply::UnknownContentError;
    }
    if (BodyShorterThanAnnounced(reply, body))
    {
        return QNetworkReply::RemoteHostClosedError;
    }
    return QNetworkReply::NoError;
}

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
    // A server that stops sending must not hang the step; one that keeps sending has no limit.
    request.setTransferTimeout(DOWNLOAD_STALL_TIMEOUT_MS);
    return request;
}
} // namespace

void cDovozUdiZedezod::UpdateFirmwareFromInternet()
{
    DownloadFirmware();
    DownloadFirmwareChecksum();
    QEventLoop loop;
    loop.exec();
}

void cDovozUdiZedezod::DownloadFirmware()
{
    const QNetworkRequest request =
        DownloadRequest(UPDATE_DOWNLOAD_PATH_FIRMWARE, GetFirmwareVersion());
    qDebug() << "getting" << request.url();
    QNetworkReply* reply = StreamToFile(NetworkManager()->get(request), UPDATER_ARCHIVE_FILE);
    connect(reply, &QNetworkReply::finished, this, &cDovozUdiZedezod::FirmwareDownloadReply);
}

void cDovozUdiZedezod::DownloadFirmwareChecksum()
{
    const QNetworkRequest request =
        DownloadRequest(UPDATE_DOWNLOAD_PATH_CHECKSUM, GetFirmwareVersion());
    qDebug() << "getting" << request.url();
    QNetworkReply* reply = StreamToFile(NetworkManager()->get(request), UPDATER_CHECKSUM_FILE);
    connect(reply, &QNetworkReply::finished, this,
            &cDovozUdiZedezod::FirmwareChecksumDownloadReply);
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
    const QMessageLogger log(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC);
    log.debug() << "Firmware download reply received";
    HandleDownloadReply(log, FIRMWARE_ERROR_KEY, FIRMWARE_SUCCESS_KEY, mFirmwareDownloaded,
                        mChecksumDownloaded);
}

void cDovozUdiZedezod::FirmwareChecksumDownloadReply()
{
    const QMessageLogger log(QT_MESSAGELOG_FILE, QT_MESSAGELOG_LINE, QT_MESSAGELOG_FUNC);
    log.debug() << "Firmware checksum download reply received";
    HandleDownloadReply(log, CHECKSUM_ERROR_KEY, CHECKSUM_SUCCESS_KEY, mChecksumDownloaded,
                        mFirmwareDownloaded);
}

// The two replies are handled alike but for their result members and flags. Lines are logged in
// the name of the slot that received the reply, as the event log's readers know them.
void cDovozUdiZedezod::HandleDownloadReply(const QMessageLogger& log, const QString& errorKey,
                                           const QString& successKey, bool& transferGood,
                                           bool otherTransferGood)
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    cBodyFile* body = FinishedBodyFile(reply);
    const QNetworkReply::NetworkError error = TransferError(reply, body);
    mDownloadResult.insert(errorKey, error);
    if (error != QNetworkReply::NoError)
    {
        EndDownloadsAfterFailure(successKey);
        return;
    }
    transferGood = true;
    log.debug() << "Wrote" << body->BytesWritten() << "bytes";
    mDownloadResult.insert(successKey, body->Commit());
    if (otherTransferGood)
    {
        log.debug() << "Got both";
        EndDownloads();
    }
}

void cDovozUdiZedezod::EndDownloadsAfterFailure(const QString& successKey)
{
    mDownloadResult.insert(successKey, false);
    EndDownloads();
}

// Quitting ends the step's loop; a transfer still running is abandoned with the manager, and its
// temporary file with it. The result is printed once: a reply that finishes before the loop has
// returned, or that is aborted when the manager goes, no longer reaches its handler.
void cDovozUdiZedezod::EndDownloads()
{
    const QList<QNetworkReply*> replies = mNetworkManager->findChildren<QNetworkReply*>();
    for (QNetworkReply* reply : replies)
    {
        disconnect(reply, nullptr, this, nullptr);
    }
    PrintResult(QJsonDocument(mDownloadResult));
    QCoreApplication::quit();
}

#include "DovozUdiZedezodDownload.moc"
