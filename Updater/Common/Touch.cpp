#include "ReplacementFile.h"
#include "UpdateUtils.h"

#include <QDebug>

// A flag is replaced whole rather than emptied in place: a link planted at its path is
// replaced too, never followed to a file elsewhere. On a full disk an existing flag is emptied
// in place; a flag that cannot be left at all is logged, for the steps ignore the result.
bool Touch(const QString& path)
{
    QString failure;
    if (ReplaceFileContent(path, QByteArray(), &failure))
    {
        return true;
    }
    qDebug().noquote() << "Could not leave the flag" << path + ':' << failure;
    return false;
}
