#pragma once

// One body of the download step on its way from the network to the disk.

#include <QCryptographicHash>
#include <QNetworkReply>
#include <QObject>
#include <QTimer>
#include <memory>

class cReplacementFile;

// Streams a reply's body into a temporary file beside its target and digests it on the way, so
// the file is never read back. Nothing replaces the target until the file is committed; a body
// that is refused, fails to store, or is abandoned with its reply takes its temporary file with
// it. Parented to the reply.
class cDownloadBody : public QObject
{
public:
    // maxBytes: a longer body is refused, which bounds what a server can make the box store.
    cDownloadBody(const QString& target, qint64 maxBytes, QNetworkReply* reply);
    ~cDownloadBody() override;

    // Call once the reply has finished: takes what it still holds and says how the transfer
    // ended. NoError means a whole HTTP 200 body, unless Stored() is false: then the network
    // delivered but the disk did not take it.
    QNetworkReply::NetworkError Finish();

    bool Stored() const { return mFile != nullptr; }
    // Bytes that reached the temporary file, or -1 when it could not be opened.
    qint64 BytesWritten() const { return mBytesWritten; }
    // The MD5 digest of the body, in lowercase hexadecimal.
    QByteArray HexDigest() const;
    // The body's first line with its line end, cut to a few KiB: what a companion is read by.
    const QByteArray& FirstLine() const { return mFirstLine; }

    // True once every byte is on the disk, still under the temporary name.
    bool Sync();
    // The temporary file, to be committed. Only while Stored().
    cReplacementFile& File() { return *mFile; }
    // Drops the temporary file at once.
    void Discard();

private:
    void TakeHead();
    void TakeArrived();
    void TakeChunk(const QByteArray& chunk);
    bool Append(const QByteArray& chunk);
    void KeepFirstLine(const QByteArray& chunk);
    void StartWriteback();
    void GiveUpStalled();
    void Stop(QNetworkReply::NetworkError reported);
    QNetworkReply::NetworkError EndOfTransfer() const;

    QNetworkReply* mReply;
    std::unique_ptr<cReplacementFile> mFile;
    QCryptographicHash mHash;
    QTimer mStallWatchdog;
    QByteArray mFirstLine;
    bool mFirstLineComplete = false;
    const qint64 mMaxBytes;
    qint64 mReceived = 0;
    qint64 mBytesWritten = -1;
    qint64 mWritebackStart = 0;
    bool mHeadTaken = false;
    bool mAccepting = false;
    bool mStopped = false;
    QNetworkReply::NetworkError mStopReported = QNetworkReply::NoError;
};
