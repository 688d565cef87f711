#include "FirmwarePair.h"

#include "BodyFile.h"
#include "CrashPoint.h"
#include "FileDescriptor.h"
#include "ReplacementFile.h"
#include "UpdatePaths.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
QByteArray NameOf(const QString& path)
{
    return QFile::encodeName(QFileInfo(path).fileName());
}

QByteArray PendingName(const QString& path)
{
    return NameOf(path) + ".pending";
}

bool Exists(int directory, const QByteArray& name)
{
    struct stat64 status;
    return fstatat64(directory, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

// The archive and the companion share the home.
cFileDescriptor OpenHome()
{
    return cFileDescriptor(
        open(QFile::encodeName(QFileInfo(UPDATER_ARCHIVE_FILE).path()).constData(),
             O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// A pending archive without its companion may still stand for the archive of a decided pair,
// when it has been moved into place already: it is only dropped when no companion is pending.
cPairPlaced MovePendingIntoPlace(int home)
{
    const QByteArray pendingArchive = PendingName(UPDATER_ARCHIVE_FILE);
    const QByteArray pendingCompanion = PendingName(UPDATER_CHECKSUM_FILE);
    if (!Exists(home, pendingCompanion))
    {
        unlinkat(home, pendingArchive.constData(), 0);
        return {false, false};
    }
    const bool archive = !Exists(home, pendingArchive) ||
                         RenameDurably(home, pendingArchive, NameOf(UPDATER_ARCHIVE_FILE));
    CRASH_POINT("archive-in-place");
    const bool companion =
        archive && RenameDurably(home, pendingCompanion, NameOf(UPDATER_CHECKSUM_FILE));
    return {archive, companion};
}
} // namespace

cPairPlaced PlaceFirmwarePair(cBodyFile& archive, cBodyFile& companion)
{
    // A pair some stopped run decided goes in first, or it would be taken for part of this one.
    FinishPlacingFirmwarePair();
    const cFileDescriptor home = OpenHome();
    if (!home.IsOpen() || !archive.CommitAs(PendingName(UPDATER_ARCHIVE_FILE)))
    {
        return {false, false};
    }
    CRASH_POINT("archive-pending");
    if (!companion.CommitAs(PendingName(UPDATER_CHECKSUM_FILE)))
    {
        // Its rename may have been done without reaching the disk: the pair is undecided again.
        unlinkat(home.Get(), PendingName(UPDATER_CHECKSUM_FILE).constData(), 0);
        unlinkat(home.Get(), PendingName(UPDATER_ARCHIVE_FILE).constData(), 0);
        return {false, false};
    }
    CRASH_POINT("pair-decided");
    return MovePendingIntoPlace(home.Get());
}

void FinishPlacingFirmwarePair()
{
    const cFileDescriptor home = OpenHome();
    if (!home.IsOpen())
    {
        return;
    }
    const bool decided = Exists(home.Get(), PendingName(UPDATER_CHECKSUM_FILE));
    const cPairPlaced placed = MovePendingIntoPlace(home.Get());
    if (decided)
    {
        qDebug() << "Put in place the pair a stopped download had decided on; complete:"
                 << placed.companion;
    }
}
