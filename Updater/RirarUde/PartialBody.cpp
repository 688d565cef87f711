#include "PartialBody.h"

#include "CrashPoint.h"
#include "FixedPaths.h"
#include "ReplacementFile.h"
#include "UpdatePaths.h"
#include "UpdateUtils.h"

#include <QDebug>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const QString BODY_PATH = QStringLiteral(UPDATER_PARTIAL_ARCHIVE_FILE);
const QString RECORD_PATH = QStringLiteral(UPDATER_PARTIAL_ARCHIVE_RECORD_FILE);
const QString VALIDATOR_KEY = QStringLiteral("validator");
const QString LENGTH_KEY = QStringLiteral("length");
const QString KEPT_KEY = QStringLiteral("kept");

// Less the umask, as for any new file; once in place the body has the mode of the archive before.
constexpr mode_t NEW_FILE_MODE = 0666;
// The run that holds the body may drop it between another's open and lock: each such loss costs
// one more open.
constexpr int OPEN_ATTEMPTS = 10;
// The record's numbers are JSON's doubles: larger counts would not come back exact.
constexpr qint64 LARGEST_EXACT_COUNT = qint64(1) << 53;

QByteArray NameOf(const QString& path)
{
    return QFile::encodeName(QFileInfo(path).fileName());
}

// The body takes the archive's place: only a process that could have written the archive in place
// may, as for every replaced file.
bool MayReplaceArchive(int directory)
{
    const QByteArray archive = NameOf(UPDATER_ARCHIVE_FILE);
    struct stat64 status;
    return fstatat64(directory, archive.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
           !S_ISREG(status.st_mode) ||
           faccessat(directory, archive.constData(), W_OK, AT_EACCESS) == 0;
}

// A link, FIFO or device node at the body's name was planted there, and goes unopened; a
// directory stays, and the open below fails on it.
void RemoveIfNotRegular(int directory, const QByteArray& name)
{
    struct stat64 status;
    if (fstatat64(directory, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(status.st_mode))
    {
        unlinkat(directory, name.constData(), 0);
    }
}

// Opens the body, or makes it, and locks it. Invalid when another run holds it, or when something
// other than a regular file is at its name all the same.
cFileDescriptor OpenHeld(int directory, const QByteArray& name)
{
    RemoveIfNotRegular(directory, name);
    for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt)
    {
        cFileDescriptor body(
            openat(directory, name.constData(),
                   O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_LARGEFILE,
                   NEW_FILE_MODE));
        struct stat64 status;
        if (!body.IsOpen() || fstat64(body.Get(), &status) != 0 || !S_ISREG(status.st_mode))
        {
            return cFileDescriptor();
        }
        // A file system without locks leaves the body to whoever opens it, as it leaves
        // temporary files to their writers.
        if (flock(body.Get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        {
            return cFileDescriptor();
        }
        if (IsNamed(body.Get(), directory, name))
        {
            return body;
        }
    }
    return cFileDescriptor();
}

qint64 CountOf(const QJsonValue& value)
{
    const double number = value.toDouble(-1);
    return number >= 0 && number < LARGEST_EXACT_COUNT && number == double(qint64(number))
               ? qint64(number)
               : -1;
}

cResumePoint ReadRecord()
{
    const QJsonObject record = QJsonDocument::fromJson(ReadFirstLine(RECORD_PATH)).object();
    const QString validator = record.value(VALIDATOR_KEY).toString();
    cResumePoint point;
    point.validator = validator.toLatin1();
    point.length = CountOf(record.value(LENGTH_KEY));
    point.kept = CountOf(record.value(KEPT_KEY));
    return point;
}
} // namespace

std::unique_ptr<cPartialBody> cPartialBody::Take()
{
    cFileDescriptor directory(open(QFile::encodeName(QFileInfo(BODY_PATH).path()).constData(),
                                   O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.IsOpen() || !MayReplaceArchive(directory.Get()))
    {
        return nullptr;
    }
    cFileDescriptor body = OpenHeld(directory.Get(), NameOf(BODY_PATH));
    if (!body.IsOpen())
    {
        return nullptr;
    }
    std::unique_ptr<cPartialBody> partial(new cPartialBody(std::move(directory), std::move(body)));
    if (!partial->Open())
    {
        return nullptr;
    }
    // Only the body's holder writes its record: a temporary record no one holds is a killed run's.
    RemoveLeftoverReplacements(RECORD_PATH);
    partial->TakeRecord();
    return partial;
}

cPartialBody::cPartialBody(cFileDescriptor directory, cFileDescriptor body)
    : mDirectory(std::move(directory)), mBody(std::move(body))
{
}

cPartialBody::~cPartialBody()
{
    mFile.close();
    if (!mRecorded && IsNamed(mBody.Get(), mDirectory.Get(), NameOf(BODY_PATH)))
    {
        unlinkat(mDirectory.Get(), NameOf(BODY_PATH).constData(), 0);
    }
}

bool cPartialBody::Open()
{
    return mFile.open(mBody.Get(), QIODevice::ReadWrite | QIODevice::Unbuffered,
                      QFileDevice::DontCloseHandle);
}

// Bytes beyond the record's count may be anything a killed run had begun to write.
void cPartialBody::TakeRecord()
{
    const cResumePoint point = ReadRecord();
    const qint64 size = mFile.size();
    if (!point.validator.isEmpty() && point.kept > 0 && point.kept < point.length &&
        size >= point.kept && mFile.resize(point.kept))
    {
        mKept = point;
        mRecorded = true;
        return;
    }
    if (size > 0)
    {
        qDebug() << "Dropped the partial body of an earlier run:" << size
                 << "bytes without a record that fits them";
    }
    RemoveRecord();
    mFile.resize(0);
}

bool cPartialBody::Sync()
{
    return fdatasync(mBody.Get()) == 0;
}

bool cPartialBody::CommitAs(const QByteArray& name)
{
    struct stat64 archive;
    if (fstatat64(mDirectory.Get(), NameOf(UPDATER_ARCHIVE_FILE).constData(), &archive,
                  AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(archive.st_mode))
    {
        KeepModeAndOwner(mBody.Get(), archive);
    }
    mFile.close();
    if (!RenameDurably(mDirectory.Get(), NameOf(BODY_PATH), name))
    {
        return false;
    }
    RemoveRecord();
    mRecorded = false;
    return true;
}

void cPartialBody::Discard()
{
    RemoveRecord();
    mRecorded = false;
    mFile.close();
    if (IsNamed(mBody.Get(), mDirectory.Get(), NameOf(BODY_PATH)))
    {
        unlinkat(mDirectory.Get(), NameOf(BODY_PATH).constData(), 0);
    }
}

// The record goes first, and for good, before the body holds other bytes.
bool cPartialBody::StartOver()
{
    RemoveRecord();
    mRecorded = false;
    mKept = cResumePoint();
    return mFile.resize(0) && mFile.seek(0);
}

// A whole body is kept but for its last byte: the next run asks for at least that byte again, and
// learns with it whether the server still has the same body.
void cPartialBody::Keep(const cResumePoint& point)
{
    const qint64 kept = qMin(point.kept, point.length - 1);
    if (point.validator.isEmpty() || kept <= 0 || !mFile.isOpen() || !Sync())
    {
        return;
    }
    CRASH_POINT("partial-body-synced");
    const QJsonObject record{{VALIDATOR_KEY, QString::fromLatin1(point.validator)},
                             {LENGTH_KEY, double(point.length)},
                             {KEPT_KEY, double(kept)}};
    // A record that could not be replaced leaves the one before, which counts fewer bytes.
    if (ReplaceFileContent(RECORD_PATH,
                           QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n'))
    {
        mRecorded = true;
    }
}

QByteArray cPartialBody::TemporaryPath() const
{
    return mRecorded || !mFile.isOpen() ? QByteArray() : QFile::encodeName(BODY_PATH);
}

void cPartialBody::RemoveRecord()
{
    if (unlinkat(mDirectory.Get(), NameOf(RECORD_PATH).constData(), 0) == 0)
    {
        fsync(mDirectory.Get());
    }
}
