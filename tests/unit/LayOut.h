#pragma once

// Lays out files and links in the sandbox box, with the directories they need.

#include "TestBox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <unistd.h>
#include <vector>

struct cEntry
{
    const char* path;       // below the home, or absolute within the box when it starts with "/"
    char kind;              // 'f' file, 'l' symlink, 'h' hard link
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
        case 'l':
            ASSERT_EQ(symlink(entry.target.constData(), where.constData()), 0);
            break;
        case 'h':
            ASSERT_EQ(link(Where(entry.target.constData()).constData(), where.constData()), 0);
            break;
        }
    }
}
