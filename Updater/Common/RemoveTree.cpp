#include "FileTree.h"
#include "TreeWalk.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{
QString CouldNotRemove(int error)
{
    return QStringLiteral("could not be removed (%1)").arg(QString::fromLocal8Bit(strerror(error)));
}

// Everything is tried: what can go, goes, even when one entry stays.
class cRemoval : public cTreeVisitor
{
public:
    bool Enter(const cTreeEntry& entry) override
    {
        if (!S_ISDIR(entry.status.st_mode))
        {
            Remove(entry.directory, entry.name, entry.path, 0);
        }
        return true;
    }

    bool Leave(int directory, const QByteArray& name, const QByteArray& path) override
    {
        Remove(directory, name, path, AT_REMOVEDIR);
        return true;
    }

    bool Unreadable(const QByteArray& path, int error) override
    {
        if (error != ENOENT) // gone already
        {
            Note(path, QStringLiteral("could not be read (%1)")
                           .arg(QString::fromLocal8Bit(strerror(error))));
        }
        return true;
    }

    cTreeFault mFault;

private:
    void Remove(int directory, const QByteArray& name, const QByteArray& path, int flags)
    {
        if (unlinkat(directory, name.constData(), flags) != 0 && errno != ENOENT)
        {
            Note(path, CouldNotRemove(errno));
        }
    }

    void Note(const QByteArray& path, const QString& reason)
    {
        if (!mFault.IsFault())
        {
            mFault = {path, reason};
        }
    }
};
} // namespace

bool RemoveTree(int directory, const QByteArray& name, cTreeFault* fault)
{
    cRemoval removal;
    WalkTree(directory, name, removal);
    *fault = removal.mFault;
    return !removal.mFault.IsFault();
}
