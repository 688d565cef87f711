#include "DownloadBody.h"

#include "StepGuard.h"
#include "UpdateLimits.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <fcntl.h>

namespace
{
// How much of a body Qt may hold before the disk has taken it. Without a bound Qt buffers all
// that the network delivers faster than the disk writes, and an archive larger than the box's
// free memory kills the tool; much smaller and the system calls per byte start to show.
constexpr qint64 DOWNLOAD_READ_BUFFER_BYTES = 512 * 1024;

// How much of a body is left in the page cache before it is handed to the disk.
constexpr qint64 WRITEBACK_STRETCH_BYTES = 8 * 1024 * 1024;

// How often the bytes of a body that may be resumed are put on the disk and recorded for the next
// run, while they keep coming: a run killed during a transfer loses at most this much of it. Each
// record waits for the disk, which a fast transfer would feel if it came every few MiB.
constexpr qint64 KEEP_INTERVAL_MS = 10000;

// What an earlier run kept is read back in pieces of this size.
constexpr int KEPT_READ_BYTES = 1024 * 1024;

// A companion's digest is its first field: far shorter than this. Whatever a longer line holds
// beyond it cannot make a digest match.
constexpr int FIRST_LINE_MAX_BYTES = 4096;

// A validator is a token of a few dozen bytes; a longer one is not asked by, as it would not fit
// the record that keeps it.
constexpr int VALIDATOR_MAX_BYTES = 1024;

constexpr int HTTP_OK = 200;
constexpr int HTTP_PARTIAL_CONTENT = 206;

// Qt's codes below this one are the network's (refused, closed, timed out, cancelled); from it on
// they are the server's answers and faults of the content.
constexpr int FIRST_ANSWER_ERROR = 100;

int HttpStatus(const QNetworkReply* reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// The archive is compressed already. A body in any other encoding would have to be inflated
// before a byte of it could be stored or checked, and Qt inflates in memory without bound.
bool SentAsStored(const QNetworkReply* reply)
{
    // Qt's header parser has trimmed the value already.
    const QByteArray encoding = reply->rawHeader("Content-Encoding");
    return encoding.isEmpty() || qstricmp(encoding.constData(), "identity") == 0;
}

qint64 AnnouncedLength(const QNetworkReply* reply)
{
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    return announced.isValid() ? announced.toLongLong() : -1;
}

// What the rest of the body is asked for by (If-Range): a strong ETag, else Last-Modified. A weak
// ETag may stand for other bytes.
QByteArray Validator(const QNetworkReply* reply)
{
    const QByteArray etag = reply->rawHeader("ETag");
    const QByteArray validator =
        !etag.isEmpty() && !etag.startsWith("W/") ? etag : reply->rawHeader("Last-Modified");
    return validator.size() <= VALIDATOR_MAX_BYTES ? validator : QByteArray();
}

QByteArray RestRange(qint64 start, qint64 length)
{
    return "bytes " + QByteArray::number(start) + '-' + QByteArray::number(length - 1) + '/' +
           QByteArray::number(length);
}
} // namespace

cDownloadBody::cDownloadBody(std::unique_ptr<cBodyFile> file, qint64 maxBytes, int retries,
                             cStepGuard& guard)
    : mFile(std::move(file)), mHash(QCryptographicHash::Md5), mMaxBytes(maxBytes),
      mRetries(retries), mRetriesLeft(retries), mGuard(guard)
{
    // A server that stops sending, or all but stops, must not hang the step. One that keeps
    // sending is bounded by the disk, not by a time limit: a large archive over a slow line
    // takes long.
    mStallWatchdog.setSingleShot(true);
    mStallWatchdog.setInterval(DOWNLOAD_STALL_TIMEOUT_MS);
    connect(&mStallWatchdog, &QTimer::timeout, this, &cDownloadBody::GiveUpStalled);
    mRetryPause.setSingleShot(true);
    connect(&mRetryPause, &QTimer::timeout, this, &cDownloadBody::Ask);
    mSinceKept.start();
    if (mFile)
    {
        mBytesWritten = 0;
        TakeKept();
        TellGuard();
    }
}

// The file goes with its owner unless it was committed or is kept.
cDownloadBody::~cDownloadBody() = default;

void cDownloadBody::Start(QNetworkAccessManager* manager, const QNetworkRequest& request)
{
    mManager = manager;
    mRequest = request;
    Ask();
}

void cDownloadBody::Abandon()
{
    mRetryPause.stop();
    mStallWatchdog.stop();
    if (mReply)
    {
        // The manager aborts it; an end of the try already on its way finds no try.
        mReply->disconnect(this);
        mReply = nullptr;
    }
    if (CanResume())
    {
        Keep();
    }
    // A file committed meanwhile is no longer the guard's to remove.
    TellGuard();
}

QByteArray cDownloadBody::HexDigest() const
{
    return mHash.result().toHex();
}

bool cDownloadBody::Sync()
{
    return mFile && mFile->Sync();
}

void cDownloadBody::Drop(const QString& why)
{
    if (!mFile)
    {
        return;
    }
    // Only a body that may be resumed has a partial body to speak of.
    if (mRetries > 0 && mReceived > 0)
    {
        qDebug().noquote()
            << QStringLiteral("Dropped the partial body (%1 bytes): %2").arg(mReceived).arg(why);
    }
    mFile->Discard();
    mFile.reset();
    TellGuard();
}

// What an earlier run kept goes through the digest in one pass before anything is added to it.
void cDownloadBody::TakeKept()
{
    const cResumePoint kept = mFile->Kept();
    if (kept.kept <= 0)
    {
        return;
    }
    QFile& file = mFile->File();
    QByteArray piece(KEPT_READ_BYTES, Qt::Uninitialized);
    qint64 read = 0;
    qint64 length = 0;
    file.seek(0);
    while ((length = file.read(piece.data(), piece.size())) > 0)
    {
        mHash.addData(piece.constData(), static_cast<int>(length));
        KeepFirstLine(QByteArray::fromRawData(piece.constData(), static_cast<int>(length)));
        read += length;
    }
    if (read != kept.kept)
    {
        qDebug() << "Could not read back the partial body:" << file.errorString();
        Restart();
        return;
    }
    mPoint = kept;
    mReceived = mBytesWritten = mWritebackStart = read;
}

// The body starts again from its first byte, and nothing of what was kept is counted.
bool cDownloadBody::Restart()
{
    mHash.reset();
    mFirstLine.clear();
    mFirstLineComplete = false;
    mPoint = cResumePoint();
    mReceived = mBytesWritten = mWritebackStart = 0;
    const bool emptied = mFile->StartOver();
    TellGuard();
    return emptied;
}

void cDownloadBody::Ask()
{
    QNetworkRequest request = mRequest;
    mTryStart = mReceived;
    if (mTryStart > 0)
    {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(mTryStart) + '-');
        request.setRawHeader("If-Range", mPoint.validator);
    }
    mReply = mManager->get(request);
    mReply->setReadBufferSize(DOWNLOAD_READ_BUFFER_BYTES);
    mTryReceived = 0;
    mHeadTaken = mHeadAccepted = mAccepting = mStopped = false;
    mStopReported = QNetworkReply::NoError;
    mRefusal.clear();
    connect(mReply, &QNetworkReply::metaDataChanged, this,
            [this]
            {
                RestartWatchdog();
                TakeHead();
            });
    connect(mReply, &QNetworkReply::readyRead, this, &cDownloadBody::TakeArrived);
    // Queued: an abort emits it at once, from within the code that aborted.
    connect(mReply, &QNetworkReply::finished, this, &cDownloadBody::TryEnded, Qt::QueuedConnection);
    RestartWatchdog();
}

// Only a body that is the file asked for is stored; a redirect or error page is drained and
// dropped, and Qt's own error for it stands.
void cDownloadBody::TakeHead()
{
    if (mHeadTaken || !mReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
    {
        return;
    }
    mHeadTaken = true;
    if (!AcceptsAnswer())
    {
        return;
    }
    mHeadAccepted = true;
    if (!SentAsStored(mReply))
    {
        qDebug() << "Refused a body sent with Content-Encoding"
                 << mReply->rawHeader("Content-Encoding");
        Stop(QNetworkReply::UnknownContentError);
        return;
    }
    if (!mFile)
    {
        // The network is not at fault: the transfer reports no error, Stored() what failed.
        Stop(QNetworkReply::NoError);
        return;
    }
    mAccepting = true;
}

// A request for the whole body takes a 200. A request for the rest takes a 206 with exactly the
// rest of the same body, or a 200: the server ignored the range, or has another body now, and the
// body starts over.
bool cDownloadBody::AcceptsAnswer()
{
    const int status = HttpStatus(mReply);
    if (status == HTTP_OK)
    {
        if (mTryStart > 0)
        {
            qDebug() << "The server ignored the range: starting over from byte 0";
            if (mFile && !Restart())
            {
                Drop(QStringLiteral("it could not be emptied"));
            }
        }
        mPoint.validator = Validator(mReply);
        mPoint.length = AnnouncedLength(mReply);
        return true;
    }
    if (mTryStart == 0)
    {
        return false;
    }
    mRefusal = RestFault(status);
    if (!mRefusal.isEmpty())
    {
        return false;
    }
    qDebug().noquote()
        << QStringLiteral("Resumed at byte %1 of %2").arg(mTryStart).arg(mPoint.length);
    return true;
}

QString cDownloadBody::RestFault(int status) const
{
    if (status != HTTP_PARTIAL_CONTENT)
    {
        return QStringLiteral("the server answered the request for the rest with status %1")
            .arg(status);
    }
    const QByteArray range = mReply->rawHeader("Content-Range");
    if (range != RestRange(mTryStart, mPoint.length))
    {
        return QStringLiteral("the server sent \"%1\" for the rest from byte %2 of %3")
            .arg(QString::fromLatin1(range))
            .arg(mTryStart)
            .arg(mPoint.length);
    }
    const QByteArray validator = Validator(mReply);
    if (!validator.isEmpty() && validator != mPoint.validator)
    {
        return QStringLiteral("the server's validator changed from %1 to %2")
            .arg(QString::fromLatin1(mPoint.validator))
            .arg(QString::fromLatin1(validator));
    }
    return QString();
}

// Always drains the reply: a bounded read buffer left full would stall the transfer.
void cDownloadBody::TakeArrived()
{
    const QByteArray chunk = mReply->readAll();
    CountProgress(chunk.size());
    if (mAccepting && !chunk.isEmpty())
    {
        TakeChunk(chunk);
    }
}

void cDownloadBody::TakeChunk(const QByteArray& chunk)
{
    mReceived += chunk.size();
    mTryReceived += chunk.size();
    const qint64 longest = mPoint.length >= 0 ? qMin(mPoint.length, mMaxBytes) : mMaxBytes;
    if (mReceived > longest)
    {
        qDebug() << "Refused a body longer than" << longest << "bytes";
        Stop(QNetworkReply::UnknownContentError);
        return;
    }
    if (!Append(chunk))
    {
        qDebug() << "Cannot write the body of" << mRequest.url() << ":"
                 << mFile->File().errorString();
        // The disk is freed now, not when the server stops sending.
        mFile->Discard();
        mFile.reset();
        TellGuard();
        Stop(QNetworkReply::NoError);
        return;
    }
    if (mSinceKept.hasExpired(KEEP_INTERVAL_MS) && CanResume())
    {
        Keep();
    }
}

bool cDownloadBody::Append(const QByteArray& chunk)
{
    // A full disk can take part of a chunk without reporting an error.
    const qint64 written = mFile->File().write(chunk);
    mBytesWritten += qMax(written, qint64(0));
    if (written != chunk.size())
    {
        return false;
    }
    mHash.addData(chunk);
    KeepFirstLine(chunk);
    StartWriteback();
    return true;
}

void cDownloadBody::KeepFirstLine(const QByteArray& chunk)
{
    if (mFirstLineComplete)
    {
        return;
    }
    const int lineEnd = chunk.indexOf('\n');
    const int wanted = lineEnd < 0 ? chunk.size() : lineEnd + 1;
    mFirstLine.append(chunk.constData(), qMin(wanted, FIRST_LINE_MAX_BYTES - mFirstLine.size()));
    mFirstLineComplete = lineEnd >= 0 || mFirstLine.size() == FIRST_LINE_MAX_BYTES;
}

// The file must be on disk before it replaces the target. Handing each stretch to the disk as
// it arrives overlaps that writing with the transfer, instead of leaving it all to one long
// flush at the end.
void cDownloadBody::StartWriteback()
{
    if (mBytesWritten - mWritebackStart >= WRITEBACK_STRETCH_BYTES)
    {
        sync_file_range(mFile->File().handle(), mWritebackStart, mBytesWritten - mWritebackStart,
                        SYNC_FILE_RANGE_WRITE);
        mWritebackStart = mBytesWritten;
    }
}

// What is on the disk now is recorded for the run to come; the step waits for the disk meanwhile,
// which the guard does not take for a step held up.
void cDownloadBody::Keep()
{
    const cStepGuard::cOwnWork syncing(mGuard);
    mPoint.kept = mReceived;
    mFile->Keep(mPoint);
    mSinceKept.start();
    TellGuard();
}

// The guard removes the file should it end the step, unless the file is to stay.
void cDownloadBody::TellGuard()
{
    const QByteArray removes = mFile ? mFile->TemporaryPath() : QByteArray();
    if (removes != mGuardRemoves)
    {
        mGuard.Forget(mGuardRemoves);
        mGuard.Track(removes);
        mGuardRemoves = removes;
    }
}

// Every byte counts, headers aside; the watchdog starts again once a try's head has come, and
// again for each DOWNLOAD_STALL_MIN_BYTES that follow.
void cDownloadBody::CountProgress(qint64 bytes)
{
    mSinceWatchdog += bytes;
    if (mSinceWatchdog >= DOWNLOAD_STALL_MIN_BYTES)
    {
        RestartWatchdog();
    }
}

void cDownloadBody::RestartWatchdog()
{
    mSinceWatchdog = 0;
    mStallWatchdog.start();
    mGuard.ExpectBackWithin(DOWNLOAD_STALL_TIMEOUT_MS);
}

// The abort ends the try with OperationCanceledError, the code callers know a stall by.
void cDownloadBody::GiveUpStalled()
{
    qDebug() << "Less than" << DOWNLOAD_STALL_MIN_BYTES << "bytes received in"
             << DOWNLOAD_STALL_TIMEOUT_MS << "ms: giving up on" << mReply->url();
    mAccepting = false;
    mReply->abort();
}

// The reply finishes with the cancellation the abort causes; the outcome that explains it is kept
// for the end of the try.
void cDownloadBody::Stop(QNetworkReply::NetworkError reported)
{
    mStopped = true;
    mStopReported = reported;
    mAccepting = false;
    mStallWatchdog.stop();
    mReply->abort();
}

void cDownloadBody::TryEnded()
{
    if (!mReply)
    {
        return;
    }
    // An aborted reply is closed already; reading it would only put a warning in the log.
    if (!mStopped && mReply->isOpen())
    {
        TakeHead();
        TakeArrived();
    }
    mStallWatchdog.stop();
    const QNetworkReply::NetworkError error = mStopped ? mStopReported : EndOfTry();
    mReply->disconnect(this);
    mReply->deleteLater();
    mReply = nullptr;
    if (BrokeOff(error) && CanResume() && mRetriesLeft > 0)
    {
        AskAgainLater(error);
        return;
    }
    End(error);
}

// With redirects not followed Qt reports no error for a 3xx, and it would be stored as the
// file: only an accepted answer with its whole body is a good transfer. A body shorter than its
// announced length is a connection that broke off, which Qt does not always notice.
QNetworkReply::NetworkError cDownloadBody::EndOfTry() const
{
    if (mReply->error() != QNetworkReply::NoError)
    {
        return mReply->error();
    }
    if (!mHeadAccepted)
    {
        return QNetworkReply::UnknownContentError;
    }
    const qint64 announced = AnnouncedLength(mReply);
    if ((announced >= 0 && mTryReceived != announced) ||
        (mPoint.length >= 0 && mReceived != mPoint.length))
    {
        return QNetworkReply::RemoteHostClosedError;
    }
    return QNetworkReply::NoError;
}

// The network let the try down, not the server's answer: nothing was refused.
bool cDownloadBody::BrokeOff(QNetworkReply::NetworkError error) const
{
    return error > QNetworkReply::NoError && error < FIRST_ANSWER_ERROR && !mStopped &&
           (!mHeadTaken || mHeadAccepted);
}

bool cDownloadBody::CanResume() const
{
    return mFile && mReceived > 0 && mPoint.length > 0 && !mPoint.validator.isEmpty();
}

// The bytes so far are on the disk, and recorded, before the rest is built on them: should the
// run end before the rest has come, the next one takes it from there.
void cDownloadBody::AskAgainLater(QNetworkReply::NetworkError error)
{
    const int pause = DOWNLOAD_RETRY_PAUSE_MS << (mRetries - mRetriesLeft);
    --mRetriesLeft;
    Keep();
    qDebug().noquote() << QStringLiteral(
                              "The transfer broke off at byte %1 of %2 (error %3): asking for "
                              "the rest in %4 ms")
                              .arg(mReceived)
                              .arg(mPoint.length)
                              .arg(int(error))
                              .arg(pause);
    mRetryPause.start(pause);
    mGuard.ExpectBackWithin(pause);
}

void cDownloadBody::End(QNetworkReply::NetworkError error)
{
    mError = error;
    if (error != QNetworkReply::NoError)
    {
        if (BrokeOff(error) && CanResume())
        {
            Keep();
        }
        else if (!mRefusal.isEmpty())
        {
            Drop(mRefusal);
        }
        else if (BrokeOff(error))
        {
            Drop(QStringLiteral(
                "the server named no length or no validator to ask for the rest by"));
        }
        else
        {
            Drop(QStringLiteral("the transfer failed with error %1").arg(int(error)));
        }
    }
    emit Finished();
}
