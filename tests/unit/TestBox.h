#pragma once

// A fresh sandbox box for every test, and ways to look at what the code left in it.

#include "UpdatePaths.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

// The box's facts as this build has them (tools/box-facts writes them): the directories of a
// fresh box, the event log's time stamp, the programs under test.
const QJsonObject& BoxFacts();

// Path inside the box for an absolute path of a real box.
QString BoxPath(const QString& absolutePath);

// Removes the box and lays out the directories a fresh box has, the event log's among them.
void ResetBox();

// Nothing when there is no file to read.
QByteArray ReadFile(const QString& path);
void WriteFile(const QString& path, const QByteArray& content);

// The event log's lines, each without its "[timestamp] " when it has the form the box's readers
// parse.
QStringList LogMessages();

class BoxTest : public ::testing::Test
{
protected:
    void SetUp() override { ResetBox(); }
};
