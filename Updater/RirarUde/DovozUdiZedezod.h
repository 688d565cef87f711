#pragma once

// The update controller: one object per run of the tool, whose methods are the steps of an
// update. Each step reports through standard output, the progress file, flag files and the log.

#include "FixedPaths.h"
#include "UpdateFilesLock.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

class QJsonDocument;
class QNetworkAccessManager;
class cDownloadBody;

class cDovozUdiZedezod : public QObject
{
    Q_OBJECT

public:
    cDovozUdiZedezod();
    ~cDovozUdiZedezod() override;

    // getversions
    void GetVersions();
    QString GetFirmwareVersion();
    QString GetDSPFirmwareVersion();
    bool CheckFirmwareExists();

    // uploadfirmware
    void CheckNewFirmware();
    QString GetNewFirmwareVersion(const QString& member);
    bool CheckFirmwareChecksum();

    // downloadfirmware
    void UpdateFirmwareFromInternet();
    void DownloadFirmware();
    void DownloadFirmwareChecksum();

    // extractfirmware
    void ExtractNewFirmware();

    // updatefirmware, updatedspfirmware, blockingdspupdate
    void UpdateFirmware();
    void UpdateDSPBoardFirmware();
    void BlockingDSPUpdate();

signals:
    void DownloadsComplete();

private slots:
    void FirmwareDownloadReply();
    void FirmwareChecksumDownloadReply();

private:
    // downloadfirmware
    // Every JSON result reaches the caller the same way.
    static void PrintResult(const QJsonDocument& result);

    QNetworkAccessManager* NetworkManager();
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
