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
// never nothing. When it cannot be replaced the previous number stays, and the box's programs
// still learn of the attempt from the log.
void WriteUpdateState(int state)
{
    qDebug() << "Changed state value to:" << state;
    ReplaceFileContent(UPDATE_PROGRESS_FILE, QByteArray::number(state));
}
