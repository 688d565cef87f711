#include "DownloadBody.h"

#include "ReplacementFile.h"
#include "UpdateLimits.h"

#include <QDebug>
#include <QNetworkRequest>
#include <fcntl.h>

namespace
{
// How much of a body Qt may hold before the disk has taken it. Without a bound Qt buffers all
// that the network delivers faster than the disk writes, and an archive larger than the box's
// free memory kills the tool; much smaller and the system calls per byte start to show.
constexpr qint64 DOWNLOAD_READ_BUFFER_BYTES = 512 * 1024;

// How much of a body is left in the page cache before it is handed to the disk.
constexpr qint64 WRITEBACK_STRETCH_BYTES = 8 * 1024 * 1024;

// A companion's digest is its first field: far shorter than this. Whatever a longer line holds
// beyond it cannot make a digest match.
constexpr int FIRST_LINE_MAX_BYTES = 4096;

constexpr int HTTP_OK = 200;

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
} // namespace

cDownloadBody::cDownloadBody(const QString& target, qint64 maxBytes, QNetworkReply* reply)
    : QObject(reply), mReply(reply), mFile(new cReplacementFile(target)),
      mHash(QCryptographicHash::Md5), mMaxBytes(maxBytes)
{
    if (mFile->Open())
    {
        mBytesWritten = 0;
    }
    else
    {
        qDebug() << "Cannot write" << target << ":" << mFile->ErrorString();
        mFile.reset();
    }
    reply->setReadBufferSize(DOWNLOAD_READ_BUFFER_BYTES);

    // A server that stops sending must not hang the step. One that keeps sending is bounded by
    // the disk, not by a time limit: a large archive over a slow line takes long.
    mStallWatchdog.setSingleShot(true);
    mStallWatchdog.setInterval(DOWNLOAD_STALL_TIMEOUT_MS);
    connect(&mStallWatchdog, &QTimer::timeout, this, [this] { GiveUpStalled(); });
    mStallWatchdog.start();
    connect(reply, &QNetworkReply::metaDataChanged, this,
            [this]
            {
                mStallWatchdog.start();
                TakeHead();
            });
    connect(reply, &QNetworkReply::readyRead, this,
            [this]
            {
                mStallWatchdog.start();
                TakeArrived();
            });
}

// The temporary file goes with its owner unless it was committed.
cDownloadBody::~cDownloadBody() = default;

QNetworkReply::NetworkError cDownloadBody::Finish()
{
    // An aborted reply is closed already; reading it would only put a warning in the log.
    if (!mStopped && mReply->isOpen())
    {
        TakeHead();
        TakeArrived();
    }
    mStallWatchdog.stop();
    return mStopped ? mStopReported : EndOfTransfer();
}

QByteArray cDownloadBody::HexDigest() const
{
    return mHash.result().toHex();
}

bool cDownloadBody::Sync()
{
    return mFile && mFile->Sync();
}

void cDownloadBody::Discard()
{
    mFile.reset();
}

// Only a 200 body is the file asked for; a redirect or error page is drained and dropped, and
// Qt's own error for it stands.
void cDownloadBody::TakeHead()
{
    if (mHeadTaken)
    {
        return;
    }
    mHeadTaken = true;
    if (HttpStatus(mReply) != HTTP_OK)
    {
        return;
    }
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

// Always drains the reply: a bounded read buffer left full would stall the transfer.
void cDownloadBody::TakeArrived()
{
    const QByteArray chunk = mReply->readAll();
    if (mAccepting && !chunk.isEmpty())
    {
        TakeChunk(chunk);
    }
}

void cDownloadBody::TakeChunk(const QByteArray& chunk)
{
    mReceived += chunk.size();
    if (mReceived > mMaxBytes)
    {
        qDebug() << "Refused a body longer than" << mMaxBytes << "bytes";
        Stop(QNetworkReply::UnknownContentError);
        return;
    }
    if (!Append(chunk))
    {
        qDebug() << "Cannot write" << mFile->Target() << ":" << mFile->File().errorString();
        // The disk is freed now, not when the server stops sending.
        Discard();
        Stop(QNetworkReply::NoError);
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

// The abort ends the transfer with OperationCanceledError, the code callers know a stall by.
void cDownloadBody::GiveUpStalled()
{
    qDebug() << "Nothing received for" << DOWNLOAD_STALL_TIMEOUT_MS << "ms: giving up on"
             << mReply->url();
    mAccepting = false;
    mReply->abort();
}

// The reply finishes within the abort, with the cancellation the abort causes; the outcome
// that explains it is kept for Finish().
void cDownloadBody::Stop(QNetworkReply::NetworkError reported)
{
    mStopped = true;
    mStopReported = reported;
    mAccepting = false;
    mStallWatchdog.stop();
    mReply->abort();
}

// With redirects not followed Qt reports no error for a 3xx, and it would be stored as the
// file: only a 200 with its whole body is a good transfer. A body shorter than its announced
// length is a connection that broke off, which Qt does not always notice.
QNetworkReply::NetworkError cDownloadBody::EndOfTransfer() const
{
    if (mReply->error() != QNetworkReply::NoError)
    {
        return mReply->error();
    }
    if (HttpStatus(mReply) != HTTP_OK)
    {
        return QNetworkReply::UnknownContentError;
    }
    const QVariant announced = mReply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid() && mReceived != announced.toLongLong())
    {
        return QNetworkReply::RemoteHostClosedError;
    }
    return QNetworkReply::NoError;
}
