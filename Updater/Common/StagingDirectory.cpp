#include "StagingDirectory.h"

#include "TreeWalk.h"

#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace
{
// The old tree's name inside the staging directory while it is removed.
const QByteArray SET_ASIDE_NAME = QByteArrayLiteral("removing");

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
    mStaging.Reset(
        openat(mParent.Get(), mName.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!mStaging.IsOpen())
    {
        *reason = ErrorText(errno);
        return false;
    }
    return true;
}

QString cStagingDirectory::Path() const
{
    return mParentPath + QLatin1Char('/') + QFile::decodeName(mName);
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
    const bool removed = RemoveTree(mStaging.Get(), SET_ASIDE_NAME, fault);
    *fault = FromParent(*fault);
    return removed;
}

cTreeFault cStagingDirectory::CheckTree(const QByteArray& name)
{
    return CheckUnpackedTree(mStaging.Get(), name);
}

// The tree's files reach the disk before its name does, and its name before the step reports
// it: a power cut afterwards finds the whole new tree, never its name over files still empty.
bool cStagingDirectory::MoveIntoPlace(const QByteArray& name, QString* reason)
{
    if (syncfs(mStaging.Get()) != 0 ||
        renameat(mStaging.Get(), name.constData(), mParent.Get(), name.constData()) != 0 ||
        fsync(mParent.Get()) != 0)
    {
        *reason = ErrorText(errno);
        return false;
    }
    return true;
}

bool cStagingDirectory::Remove(cTreeFault* fault)
{
    mStaging.Reset();
    const bool removed = mName.isEmpty() || RemoveTree(mParent.Get(), mName, fault);
    mName.clear();
    return removed;
}

cTreeFault cStagingDirectory::FromParent(const cTreeFault& fault) const
{
    return fault.IsFault() ? cTreeFault{mName + '/' + fault.entry, fault.reason} : fault;
}
