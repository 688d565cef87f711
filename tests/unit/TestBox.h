#pragma once

// A fresh sandbox box for every test, and ways to look at what the code left in it; brings the
// box's paths, the shared code's functions and the Qt classes every test uses.

#include "FixedPaths.h"
#include "UpdatePaths.h"
#include "UpdateUtils.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

// Nothing when there is no file to read.
inline QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void WriteFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(file.write(content), content.size());
}

// The box's facts as this build has them (tools/box-facts writes them): the directories of a
// fresh box, the event log's time stamp, the programs under test.
inline const QJsonObject& BoxFacts()
{
    static const QJsonObject facts = QJsonDocument::fromJson(ReadFile(BOX_FACTS_FILE)).object();
    return facts;
}

// Path inside the box for an absolute path of a real box.
inline QString BoxPath(const QString& absolutePath)
{
    return QStringLiteral(RIRARUDE_BOX_ROOT) + absolutePath;
}

// Removes the box and lays out the directories a fresh box has, the event log's among them.
inline void ResetBox()
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

// The event log's lines, each without its "[timestamp] " when it has the form the box's readers
// parse.
inline QStringList LogMessages()
{
    static const QRegularExpression timestamp(BoxFacts()["log_timestamp"].toString());
    const QString log = QString::fromLocal8Bit(ReadFile(QString::fromLatin1(gUpdaterLogFile)));
    return log.split('\n', Qt::SkipEmptyParts).replaceInStrings(timestamp, "");
}

class BoxTest : public ::testing::Test
{
protected:
    void SetUp() override { ResetBox(); }
};
