#pragma once

// The update controller: one object per run of the tool, whose methods are the steps of an
// update. Each step reports through standard output, the progress file, flag files and the log.

#include "UpdateFilesLock.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <memory>

class QJsonDocument;
class QNetworkAccessManager;
class QNetworkRequest;
class cDownloadBody;
class cStepGuard;

class cDovozUdiZedezod : public QObject
{
    Q_OBJECT

public:
    cDovozUdiZedezod();
    ~cDovozUdiZedezod() override;

    // The steps, one per option.
    void GetVersions();
    void CheckNewFirmware();
    void UpdateFirmwareFromInternet();
    void ExtractNewFirmware();
    void UpdateFirmware();
    void UpdateDSPBoardFirmware();
    void BlockingDSPUpdate();

    // The extracted firmware's image against its companion; no step calls it.
    bool CheckFirmwareChecksum();

signals:
    void DownloadsComplete();

private slots:
    void FirmwareDownloadReply();
    void FirmwareChecksumDownloadReply();

private:
    // Every JSON result reaches the caller the same way.
    static QByteArray ResultText(const QJsonDocument& result);
    static void PrintResult(const QJsonDocument& result);

    // getversions
    QString GetFirmwareVersion();
    QString GetDSPFirmwareVersion();

    // uploadfirmware
    QString GetNewFirmwareVersion(const QString& member);

    // extractfirmware
    bool CheckFirmwareExists();

    // downloadfirmware
    void DownloadFirmware();
    void DownloadFirmwareChecksum();
    QNetworkAccessManager* NetworkManager();
    QNetworkRequest Request(const QMessageLogger& log, const QString& serverPath);
    void SetLastWords();
    void HandleDownloadReply(const QMessageLogger& log, cDownloadBody* body,
                             const QString& errorKey, const QString& successKey, bool& transferGood,
                             bool otherTransferGood);
    void PutPairInPlace(const QMessageLogger& log);
    void CommitPair(const QMessageLogger& log);
    void EndDownloads();

    bool mFirmwareChecksumValid;
    QNetworkAccessManager* mNetworkManager;
    bool mFirmwareDownloaded;
    bool mChecksumDownloaded;
    QJsonObject mDownloadResult;
    // Held from the moment the downloaded pair goes into place until the step ends.
    cUpdateFilesLock mUpdateFilesLock;
    // Ends the download should Qt hold it up; it outlives the bodies, which outlive the manager.
    std::unique_ptr<cStepGuard> mStepGuard;
    std::unique_ptr<cDownloadBody> mFirmwareBody;
    std::unique_ptr<cDownloadBody> mChecksumBody;
};
