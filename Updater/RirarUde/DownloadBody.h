#pragma once

// One body of the download step on its way from the network to the disk.

#include "BodyFile.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QTimer>
#include <memory>

class QNetworkAccessManager;
class cStepGuard;

// Streams a body into its file and digests it on the way, so the file is never read back; what an
// earlier run kept of it is digested once, before the rest is asked for. A transfer that breaks
// off (closed, cut short of its length, stalled) once bytes of the body are on the disk is asked
// again for the rest, when the server named the body's length and a validator to ask by, as often
// as the retries allow. Nothing replaces the target until the file is committed. A body that is
// refused, or whose server answered the request for the rest with anything but the rest, drops its
// file; one that broke off keeps what is on the disk where its file is kept across runs.
class cDownloadBody : public QObject
{
    Q_OBJECT

public:
    // file: null when it could not be made. maxBytes: a longer body is refused, which bounds what
    // a server can make the box store. retries: none for a body that is always fetched whole.
    cDownloadBody(std::unique_ptr<cBodyFile> file, qint64 maxBytes, int retries, cStepGuard& guard);
    ~cDownloadBody() override;

    // Asks for the body, or for the rest of what an earlier run kept. Finished() follows once the
    // transfer has ended, however it ended.
    void Start(QNetworkAccessManager* manager, const QNetworkRequest& request);
    // Ends the transfer at once, without Finished(): what can be resumed is kept.
    void Abandon();

    // Once finished: NoError means a whole body, unless Stored() is false: then the network
    // delivered but the disk did not take it.
    QNetworkReply::NetworkError Error() const { return mError; }
    bool Stored() const { return mFile != nullptr; }
    // Bytes in the file, or -1 when it could not be made.
    qint64 BytesWritten() const { return mBytesWritten; }
    // The MD5 digest of the body, in lowercase hexadecimal.
    QByteArray HexDigest() const;
    // The body's first line with its line end, cut to a few KiB: what a companion is read by.
    const QByteArray& FirstLine() const { return mFirstLine; }

    // True once every byte is on the disk, not yet in place.
    bool Sync();
    // The file, to be committed. Only while Stored().
    cBodyFile& File() { return *mFile; }
    // Drops the file at once, saying why when it held bytes that could have been resumed.
    void Drop(const QString& why);

signals:
    void Finished();

private:
    void TakeKept();
    bool Restart();
    void Ask();
    void TakeHead();
    bool AcceptsAnswer();
    QString RestFault(int status) const;
    void TakeArrived();
    void TakeChunk(const QByteArray& chunk);
    bool Append(const QByteArray& chunk);
    void KeepFirstLine(const QByteArray& chunk);
    void StartWriteback();
    void Keep();
    void TellGuard();
    void CountProgress(qint64 bytes);
    void RestartWatchdog();
    void GiveUpStalled();
    void Stop(QNetworkReply::NetworkError reported);
    void TryEnded();
    QNetworkReply::NetworkError EndOfTry() const;
    bool BrokeOff(QNetworkReply::NetworkError error) const;
    bool CanResume() const;
    void AskAgainLater(QNetworkReply::NetworkError error);
    void End(QNetworkReply::NetworkError error);

    std::unique_ptr<cBodyFile> mFile;
    QCryptographicHash mHash;
    QByteArray mFirstLine;
    bool mFirstLineComplete = false;
    const qint64 mMaxBytes;
    const int mRetries;
    int mRetriesLeft;
    cStepGuard& mGuard;
    QByteArray mGuardRemoves;
    QNetworkAccessManager* mManager = nullptr;
    QNetworkRequest mRequest;
    QTimer mStallWatchdog;
    QTimer mRetryPause;
    // The body as a whole: what resuming it needs, bytes received and on the disk.
    cResumePoint mPoint;
    qint64 mReceived = 0;
    qint64 mBytesWritten = -1;
    qint64 mWritebackStart = 0;
    QElapsedTimer mSinceKept;
    QNetworkReply::NetworkError mError = QNetworkReply::NoError;
    // The request under way, one per try.
    QNetworkReply* mReply = nullptr; // until the try has ended
    qint64 mTryStart = 0;
    qint64 mTryReceived = 0;
    qint64 mSinceWatchdog = 0;
    bool mHeadTaken = false;
    bool mHeadAccepted = false;
    bool mAccepting = false;
    bool mStopped = false;
    QNetworkReply::NetworkError mStopReported = QNetworkReply::NoError;
    QString mRefusal;
};
