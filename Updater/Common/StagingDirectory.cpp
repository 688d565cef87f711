#include "StagingDirectory.h"

#include "CrashPoint.h"
#include "TreeWalk.h"

#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// The old tree's name inside the staging directory while it is removed.
const QByteArray SET_ASIDE_NAME = QByteArrayLiteral("removing");
// The directory inside the staging directory that an archive is unpacked into.
const QByteArray UNPACKED_NAME = QByteArrayLiteral("unpacked");

QString ErrorText(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

} // namespace

cStagingDirectory::cStagingDirectory(const QString& parent, const QString& prefix)
    : mParentPath(parent), mPrefix(QFile::encodeName(prefix)),
      mParent(open(QFile::encodeName(parent).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
}

QList<cTreeFault> cStagingDirectory::RemoveLeftovers()
{
    QList<cTreeFault> faults;
    std::vector<QByteArray> names;
    ListNames(mParent.Get(), &names);
    for (const QByteArray& name : names)
    {
        cTreeFault fault;
        if (name.startsWith(mPrefix) && !RemoveTree(mParent.Get(), name, &fault))
        {
            faults << fault;
        }
    }
    return faults;
}

bool cStagingDirectory::Create(QString* reason)
{
    const QByteArray path = QFile::encodeName(mParentPath) + '/' + mPrefix + "XXXXXX";
    std::vector<char> pattern(path.constData(), path.constData() + path.size() + 1);
    if (!mkdtemp(pattern.data()))
    {
        *reason = ErrorText(errno);
        return false;
    }
    mName = QByteArray(pattern.data() + path.lastIndexOf('/') + 1);
    mStaging.Reset(openat(mParent.Get(), mName.constData(), DIRECTORY_FLAGS));
    if (!mStaging.IsOpen() || mkdirat(mStaging.Get(), UNPACKED_NAME.constData(), S_IRWXU) != 0)
    {
        *reason = ErrorText(errno);
        return false;
    }
    mUnpacked.Reset(openat(mStaging.Get(), UNPACKED_NAME.constData(), DIRECTORY_FLAGS));
    if (!mUnpacked.IsOpen())
    {
        *reason = ErrorText(errno);
        return false;
    }
    return true;
}

QString cStagingDirectory::UnpackPath() const
{
    return mParentPath + QLatin1Char('/') + QFile::decodeName(mName + '/' + UNPACKED_NAME);
}

bool cStagingDirectory::MoveAsideAndRemove(const QByteArray& name, cTreeFault* fault)
{
    if (renameat(mParent.Get(), name.constData(), mStaging.Get(), SET_ASIDE_NAME.constData()) != 0)
    {
        if (errno == ENOENT)
        {
            return true;
        }
        *fault = {name, QStringLiteral("could not be moved aside (%1)").arg(ErrorText(errno))};
        return false;
    }
    CRASH_POINT("old-tree-moved-aside");
    const bool removed = RemoveTree(mStaging.Get(), SET_ASIDE_NAME, fault);
    *fault = FromParent(*fault);
    return removed;
}

// The mode an archive gave the directory it was unpacked into (a read-only ".") must not keep
// the tree from being checked and moved out.
cTreeFault cStagingDirectory::CheckTree(const QByteArray& name)
{
    fchmod(mUnpacked.Get(), S_IRWXU);
    return CheckUnpackedTree(mUnpacked.Get(), name);
}

// The tree's files reach the disk before its name does, and its name before the step reports
// it: a power cut afterwards finds the whole new tree, never its name over files still empty.
bool cStagingDirectory::MoveIntoPlace(const QByteArray& name, QString* reason)
{
    if (syncfs(mStaging.Get()) != 0 ||
        renameat(mUnpacked.Get(), name.constData(), mParent.Get(), name.constData()) != 0 ||
        fsync(mParent.Get()) != 0)
    {
        *reason = ErrorText(errno);
        return false;
    }
    return true;
}

bool cStagingDirectory::Remove(cTreeFault* fault)
{
    mUnpacked.Reset();
    mStaging.Reset();
    const bool removed = mName.isEmpty() || RemoveTree(mParent.Get(), mName, fault);
    mName.clear();
    return removed;
}

cTreeFault cStagingDirectory::FromParent(const cTreeFault& fault) const
{
    return fault.IsFault() ? cTreeFault{mName + '/' + fault.entry, fault.reason} : fault;
}
