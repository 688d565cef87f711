#include "UpdateUtils.h"

#include <QFile>

bool Touch(const QString& path)
{
    QFile file(path);
    const bool opened = file.open(QIODevice::WriteOnly);
    file.close();
    return opened;
}
