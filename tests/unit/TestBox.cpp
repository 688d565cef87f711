#include "TestBox.h"

#include "FixedPaths.h"
#include "UpdateUtils.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

const char* gUpdaterLogFile = UPDATER_LOG_FILE;

const QJsonObject& BoxFacts()
{
    static const QJsonObject facts = QJsonDocument::fromJson(ReadFile(BOX_FACTS_FILE)).object();
    return facts;
}

QString BoxPath(const QString& absolutePath)
{
    return QStringLiteral(RIRARUDE_BOX_ROOT) + absolutePath;
}

void ResetBox()
{
    ASSERT_FALSE(QStringLiteral(RIRARUDE_BOX_ROOT).isEmpty()) << "tests need a sandbox box";
    QDir(BoxPath("/")).removeRecursively();
    const QJsonArray directories = BoxFacts()["fresh_box_directories"].toArray();
    ASSERT_FALSE(directories.isEmpty()) << "no box facts in " BOX_FACTS_FILE;
    for (const QJsonValue& directory : directories)
    {
        ASSERT_TRUE(QDir().mkpath(BoxPath(directory.toString())));
    }
}

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(file.write(content), content.size());
}

QStringList LogMessages()
{
    static const QRegularExpression timestamp(BoxFacts()["log_timestamp"].toString());
    const QString log = QString::fromLocal8Bit(ReadFile(QString::fromLatin1(gUpdaterLogFile)));
    return log.split('\n', Qt::SkipEmptyParts).replaceInStrings(timestamp, "");
}
