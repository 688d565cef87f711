#include "UpdateUtils.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QRegExp>
#include <QStringList>

namespace
{
// The companion's first field; a line that starts with white space has an empty one, which
// matches no digest.
QString ExpectedDigest(const QString& companionPath)
{
    return QString::fromUtf8(ReadFirstLine(companionPath).constData())
        .split(QRegExp(QStringLiteral("\\s+")))
        .first();
}
} // namespace

// The file is hashed from the open device, piece by piece: firmware images do not fit in the
// box's memory beside everything else. A missing file hashes as empty input.
bool CheckChecksum(const QString& path)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.reset();
    QFile file(path);
    qDebug() << "Checking checksum of" << file.fileName();
    if (file.open(QIODevice::ReadOnly))
    {
        hash.addData(&file);
    }

    const QString expected = ExpectedDigest(path + QStringLiteral(".md5"));
    const QByteArray calculated = hash.result().toHex();
    qDebug() << "Calculated:" << calculated;
    qDebug() << "Read:      " << expected;
    return calculated == expected.toLocal8Bit();
}
