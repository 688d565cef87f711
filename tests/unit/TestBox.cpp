#include "TestBox.h"

#include "FixedPaths.h"
#include "UpdateUtils.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

const char* gUpdaterLogFile = UPDATER_LOG_FILE;

QString BoxPath(const QString& absolutePath)
{
    return QStringLiteral(RIRARUDE_BOX_ROOT) + absolutePath;
}

void ResetBox()
{
    ASSERT_FALSE(QStringLiteral(RIRARUDE_BOX_ROOT).isEmpty()) << "tests need a sandbox box";
    QDir(BoxPath("/")).removeRecursively();
    for (const char* directory :
         {"/home/pxm/PXMPersistentData/DovozUdiZedezod/EventLogs", "/etc", "/dev", "/boot"})
    {
        ASSERT_TRUE(QDir().mkpath(BoxPath(QString::fromLatin1(directory))));
    }
}

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

void WriteFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(file.write(content), content.size());
}

QStringList LogMessages()
{
    static const QRegularExpression timestamp(
        QStringLiteral("^\\[[A-Z][a-z]{2} [A-Z][a-z]{2} \\d{1,2} \\d{2}:\\d{2}:\\d{2} \\d{4}\\] "));
    QFile log(QString::fromLatin1(gUpdaterLogFile));
    if (!log.open(QIODevice::ReadOnly))
    {
        return {};
    }
    QStringList messages;
    for (QString line : QString::fromLocal8Bit(log.readAll()).split('\n', Qt::SkipEmptyParts))
    {
        const QRegularExpressionMatch match = timestamp.match(line);
        messages << (match.hasMatch() ? line.mid(match.capturedLength()) : line);
    }
    return messages;
}
