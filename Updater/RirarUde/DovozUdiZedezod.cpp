#include "DovozUdiZedezod.h"

#include "DownloadBody.h"
#include "FixedPaths.h"
#include "StepGuard.h"
#include "USBVersionInterrogator.h"
#include "UpdatePaths.h"
#include "UpdateUtils.h"

#include <QDebug>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <iostream>

cDovozUdiZedezod::cDovozUdiZedezod()
    : QObject(nullptr), mFirmwareChecksumValid(false), mNetworkManager(nullptr),
      mFirmwareDownloaded(false), mChecksumDownloaded(false)
{
}

cDovozUdiZedezod::~cDovozUdiZedezod()
{
    delete mNetworkManager;
}

void cDovozUdiZedezod::GetVersions()
{
    qDebug() << "Getting versions...";

    QJsonObject versions;
    versions.insert(QStringLiteral("Firmware Version"), GetFirmwareVersion());
    versions.insert(QStringLiteral("DSP Firmware Version"), GetDSPFirmwareVersion());

    const QJsonDocument document(versions);
    qDebug() << "Got version information:\n" << document.toJson();

    PrintResult(document);
}

// Indented, members sorted by key, ending in a line break; nothing is added to it.
QByteArray cDovozUdiZedezod::ResultText(const QJsonDocument& result)
{
    return QString::fromUtf8(result.toJson()).toLocal8Bit();
}

void cDovozUdiZedezod::PrintResult(const QJsonDocument& result)
{
    std::cout << ResultText(result).constData();
}

// The running version keeps the line end of its file: callers have always received it so.
QString cDovozUdiZedezod::GetFirmwareVersion()
{
    if (!QFileInfo::exists(ROOTFS_RUNNING_UINITRD_VERSION_FILE))
    {
        return QStringLiteral("Unknown");
    }
    return QString::fromLatin1(ReadFirstLine(ROOTFS_RUNNING_UINITRD_VERSION_FILE).constData());
}

QString cDovozUdiZedezod::GetDSPFirmwareVersion()
{
    cUSBInterrogator board(DSP_BOARD_DEVICE);
    return board.GetVersion();
}

bool cDovozUdiZedezod::CheckFirmwareExists()
{
    return QFileInfo::exists(UPDATER_ARCHIVE_FILE);
}
