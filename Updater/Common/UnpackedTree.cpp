#include "FileTree.h"
#include "TreeWalk.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>

namespace
{
constexpr mode_t SET_ID_BITS = S_ISUID | S_ISGID;

QString KindOf(mode_t mode)
{
    if (S_ISLNK(mode))
    {
        return QStringLiteral("is a symbolic link");
    }
    if (S_ISFIFO(mode))
    {
        return QStringLiteral("is a FIFO");
    }
    if (S_ISSOCK(mode))
    {
        return QStringLiteral("is a socket");
    }
    if (S_ISCHR(mode) || S_ISBLK(mode))
    {
        return QStringLiteral("is a device node");
    }
    if (S_ISREG(mode))
    {
        return QStringLiteral("is a regular file");
    }
    return QStringLiteral("is of an unknown kind");
}

QString Because(const char* what, int error)
{
    return QLatin1String(what) + QStringLiteral(" (") + QString::fromLocal8Bit(strerror(error)) +
           QLatin1Char(')');
}

// A file of the tree that has more names than the tree holds is also a file outside it: one of
// the box's own files, which the firmware must neither show nor hand on.
struct cLinkCount
{
    QByteArray firstPath;
    nlink_t links;
    nlink_t seen;
};

class cUnpackedTreeCheck : public cTreeVisitor
{
public:
    bool Enter(const cTreeEntry& entry) override
    {
        const bool isTop = !mMetTop;
        mMetTop = true;
        const mode_t mode = entry.status.st_mode;
        if (S_ISDIR(mode))
        {
            return DropSetIdBits(entry);
        }
        if (isTop)
        {
            return Reject(entry.path, KindOf(mode) + QStringLiteral(", not a directory"));
        }
        if (!S_ISREG(mode))
        {
            return Reject(entry.path, KindOf(mode));
        }
        CountLink(entry);
        return DropSetIdBits(entry);
    }

    bool Leave(int, const QByteArray&, const QByteArray&) override { return true; }

    bool Unreadable(const QByteArray& path, int error) override
    {
        if (!mMetTop && error == ENOENT)
        {
            return Reject(path, QStringLiteral("is missing"));
        }
        return Reject(path, Because("could not be read", error));
    }

    cTreeFault Verdict()
    {
        for (const auto& file : mLinks)
        {
            if (!mFault.IsFault() && file.second.seen < file.second.links)
            {
                Reject(file.second.firstPath,
                       QStringLiteral("is also linked from outside the tree"));
            }
        }
        return mFault;
    }

private:
    bool Reject(const QByteArray& path, const QString& reason)
    {
        mFault = {path, reason};
        return false;
    }

    bool DropSetIdBits(const cTreeEntry& entry)
    {
        const mode_t mode = entry.status.st_mode & 07777;
        if ((mode & SET_ID_BITS) == 0 ||
            fchmodat(entry.directory, entry.name.constData(), mode & ~SET_ID_BITS, 0) == 0)
        {
            return true;
        }
        return Reject(entry.path, Because("keeps its set-id bits", errno));
    }

    void CountLink(const cTreeEntry& entry)
    {
        if (entry.status.st_nlink < 2)
        {
            return;
        }
        cLinkCount& count = mLinks[QByteArray::number(quint64(entry.status.st_dev)) + ':' +
                                   QByteArray::number(quint64(entry.status.st_ino))];
        if (count.seen == 0)
        {
            count = {entry.path, entry.status.st_nlink, 0};
        }
        ++count.seen;
    }

    bool mMetTop = false;
    std::map<QByteArray, cLinkCount> mLinks; // by "device:inode"
    cTreeFault mFault;
};
} // namespace

cTreeFault CheckUnpackedTree(int directory, const QByteArray& name)
{
    cUnpackedTreeCheck check;
    WalkTree(directory, name, check);
    return check.Verdict();
}
