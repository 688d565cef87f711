#include "ReplacementFile.h"
#include "UpdatePaths.h"
#include "UpdateUtils.h"

#include <QDebug>

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

// The box's front end polls the file: replaced whole, it holds the previous number or the new one,
// never nothing (on a full disk the number is written over the old one instead). The log says
// that the number changed only once it has, and otherwise why it did not.
void WriteUpdateState(int state)
{
    QString failure;
    if (ReplaceFileContent(UPDATE_PROGRESS_FILE, QByteArray::number(state), &failure))
    {
        qDebug() << "Changed state value to:" << state;
    }
    else
    {
        qDebug().noquote()
            << QStringLiteral("Could not write state value %1: %2").arg(state).arg(failure);
    }
}
