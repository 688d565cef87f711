#pragma once

// The update controller: one object per run of the tool, whose methods are the steps of an
// update. Each step reports through standard output, the progress file, flag files and the log.

#include "UpdateFilesLock.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

class QJsonDocument;
class QNetworkAccessManager;
class QNetworkReply;
class cDownloadBody;

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
    QNetworkReply* Get(const QMessageLogger& log, const QString& serverPath);
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
    // Each body belongs to its reply, and goes with the manager.
    cDownloadBody* mFirmwareBody = nullptr;
    cDownloadBody* mChecksumBody = nullptr;
    // Held from the moment the downloaded pair goes into place until the step ends.
    cUpdateFilesLock mUpdateFilesLock;
};
