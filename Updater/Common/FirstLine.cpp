#include "UpdateUtils.h"

#include <QFile>

QByteArray ReadFirstLine(const QString& path)
{
    QFile file(path);
    // An unopened file would also read as empty, but with a Qt warning in the event log.
    return file.open(QIODevice::ReadOnly) ? file.readLine() : QByteArray();
}
