#pragma once

// Lays out entries of any kind in the sandbox box, as an uploaded archive may leave them.

#include "FileDescriptor.h"
#include "TestBox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

struct cEntry
{
    const char* path;       // below the home, or absolute within the box when it starts with "/"
    char kind;              // 'f' file, 'd' directory, 'l' symlink, 'h' hard link, 's' socket
    QByteArray target = ""; // content of a file, target of a link (a hard link's: box path)
};

inline QByteArray Where(const char* path)
{
    return QFile::encodeName(path[0] == '/' ? BoxPath(path) : PXM_HOME + '/' + path);
}

inline void LayOut(const std::vector<cEntry>& entries)
{
    for (const cEntry& entry : entries)
    {
        const QByteArray where = Where(entry.path);
        QDir().mkpath(QFileInfo(QFile::decodeName(where)).path());
        switch (entry.kind)
        {
        case 'f':
            WriteFile(QFile::decodeName(where), entry.target);
            break;
        case 'd':
            ASSERT_EQ(mkdir(where.constData(), 0755), 0) << where.constData();
            break;
        case 'l':
            ASSERT_EQ(symlink(entry.target.constData(), where.constData()), 0);
            break;
        case 'h':
            ASSERT_EQ(link(Where(entry.target.constData()).constData(), where.constData()), 0);
            break;
        case 's':
        {
            sockaddr_un address = {};
            address.sun_family = AF_UNIX;
            ASSERT_LT(where.size(), static_cast<int>(sizeof(address.sun_path)));
            qstrcpy(address.sun_path, where.constData());
            cFileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM, 0));
            ASSERT_EQ(bind(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)),
                      0);
            break;
        }
        }
    }
}
