#include "UpdateUtils.h"

#include <QDebug>
#include <QFile>
#include <QTextStream>

QString GetStateAsString(eUpdateStates state)
{
    static const char* const texts[] = {
        "Unknown",
        "Ready",
        "Failed",
        "Uploading",
        "Uploaded",
        "Downloading",
        "Downloaded",
        "Extracting",
        "Extracted",
        "Updating",
        "Needs Reboot",
        "Rebooting",
        "Finished",
        "Updated",
        "Updating DSP",
        "Updated DSP",
        "Lost Comms",
        "Last Legacy State",
        "Waiting For FW version",
        "Received FW version",
        "KOV Extracting",
        "KOV Update Failed",
        "KOV Extracted",
        "KOV Extracted",
        "KOV Updating DSP",
    };
    const int index = static_cast<int>(state);
    if (index < 0 || index >= static_cast<int>(sizeof(texts) / sizeof(texts[0])))
    {
        return QStringLiteral("Error: Unexpected / Unknown State");
    }
    return QString::fromLatin1(texts[index]);
}

void WriteUpdateState(int state)
{
    QFile file(UPDATE_PROGRESS_FILE);
    if (!file.open(QIODevice::WriteOnly))
    {
        // The previous state stays; the box's programs still learn of the attempt from the log.
        qDebug() << "Changed state value to:" << state;
        return;
    }
    {
        QTextStream stream(&file);
        stream << QString::number(state, 10);
        qDebug() << "Changed state value to:" << state;
    }
    file.close();
}
