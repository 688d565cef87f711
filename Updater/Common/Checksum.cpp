#include "UpdateUtils.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QRegExp>
#include <QStringList>

// The line is text up to its first zero byte; a line that starts with white space has an empty
// first field, which matches no digest.
QString CompanionDigest(const QByteArray& firstLine)
{
    return QString::fromUtf8(firstLine.constData()).split(QRegExp(QStringLiteral("\\s+"))).first();
}

bool MatchesCompanionDigest(const QByteArray& calculatedHex, const QString& companionDigest)
{
    return calculatedHex == companionDigest.toLocal8Bit();
}

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

    const QString expected = CompanionDigest(ReadFirstLine(path + QStringLiteral(".md5")));
    const QByteArray calculated = hash.result().toHex();
    qDebug() << "Calculated:" << calculated;
    qDebug() << "Read:      " << expected;
    return MatchesCompanionDigest(calculated, expected);
}
