#pragma once

// The board-simulator program for the USB unit tests, started for one test on a pseudo-terminal
// linked at a device path of the box, and stopped again; it records every byte it received.

#include "TestBox.h"
#include "UpdateLimits.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

// The event log's messages without "Debug: " and without the logging function's signature.
inline QStringList Messages()
{
    static const QRegularExpression frame("^Debug: | \\([^()]*\\([^()]*\\)[^()]*\\)$");
    return LogMessages().replaceInStrings(frame, "");
}

inline QByteArray Pattern(int size)
{
    QByteArray image;
    for (int i = 0; i < size; ++i)
        image += static_cast<char>((i * 7 + 3) % 251);
    return image;
}

class SimulatedBoard
{
public:
    SimulatedBoard(const QString& link, const QStringList& arguments)
    {
        QFile::remove(mCapture); // the simulator appends to it
        // A cross build runs the simulator, like the tool, through its emulator.
        const QJsonObject programs = BoxFacts()["programs"].toObject();
        QStringList command;
        for (const QJsonValue& word : programs["emulator"].toArray())
            command << word.toString();
        command += QStringList({programs["board_simulator"].toString(), "--link", link, "--report",
                                mReport, "--image", mImage, "--capture", mCapture, "--timeout",
                                "120", "--die-with-parent"}) +
                   arguments;
        mProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        mProcess.start(command.takeFirst(), command);
        while (!mProcess.canReadLine() && mProcess.waitForReadyRead(10000))
            continue;
        const QByteArray line = mProcess.readLine();
        EXPECT_TRUE(line.startsWith("ready ")) << line.toStdString();
    }

    ~SimulatedBoard() { Stop(); }

    // Ends the simulator and returns its exit status.
    int Stop()
    {
        if (mProcess.state() != QProcess::NotRunning)
        {
            mProcess.terminate();
            mProcess.waitForFinished();
        }
        return mProcess.exitStatus() == QProcess::NormalExit ? mProcess.exitCode() : -1;
    }

    QJsonArray Report()
    {
        return QJsonDocument::fromJson(ReadFile(mReport))["transfers"].toArray();
    }
    QJsonObject Transfer() { return Report()[0].toObject(); }
    // Every transfer as [command, version message, frame lengths, result], in compact JSON.
    QString Transfers()
    {
        QJsonArray all;
        for (const QJsonValue& value : Report())
        {
            const QJsonObject t = value.toObject();
            all.append(QJsonArray({t["command"], t["version"], t["frame_lengths"], t["result"]}));
        }
        return QString::fromLatin1(QJsonDocument(all).toJson(QJsonDocument::Compact));
    }
    // The image the last transfer delivered, and every byte received, both after Stop().
    QByteArray Image() { return ReadFile(mImage); }
    QString Capture() { return QString::fromLatin1(ReadFile(mCapture).toHex(' ')); }

private:
    const QString mReport = BoxPath("/sim-report.json");
    const QString mImage = BoxPath("/sim-image.bin");
    const QString mCapture = BoxPath("/sim-capture.bin");
    QProcess mProcess;
};
