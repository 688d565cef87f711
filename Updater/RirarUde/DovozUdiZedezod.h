#pragma once

// The update controller: one object per run of the tool, whose methods are the steps of an
// update. Each step reports through standard output, the progress file, flag files and the log.

#include "FixedPaths.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

class QJsonDocument;
class QNetworkAccessManager;

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
    void HandleDownloadReply(const QMessageLogger& log, const QString& errorKey,
                             const QString& successKey, bool& transferGood, bool otherTransferGood);
    void EndDownloadsAfterFailure(const QString& successKey);
    void EndDownloads();

    bool mFirmwareChecksumValid;
    QNetworkAccessManager* mNetworkManager;
    bool mFirmwareDownloaded;
    bool mChecksumDownloaded;
    QJsonObject mDownloadResult;
};
