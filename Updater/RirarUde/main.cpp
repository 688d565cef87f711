#include "DovozUdiZedezod.h"
#include "FixedPaths.h"
#include "UpdateUtils.h"

#include <QCoreApplication>
#include <QDebug>
#include <cerrno>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

const char* gUpdaterLogFile = UPDATER_LOG_FILE;

namespace
{
const QString REBOOT_REQUIRED_FILE = QStringLiteral(REBOOT_REQUIRED_FILE_PATH);

const struct option long_options[] = {
    {"getversions", no_argument, nullptr, 'a'},
    {"uploadfirmware", no_argument, nullptr, 'b'},
    {"downloadfirmware", no_argument, nullptr, 'c'},
    {"extractfirmware", no_argument, nullptr, 'd'},
    {"updatefirmware", no_argument, nullptr, 'e'},
    {"updatedspfirmware", no_argument, nullptr, 'g'},
    {"reboot", no_argument, nullptr, 'h'},
    {"blockingdspupdate", no_argument, nullptr, 'i'},
    {nullptr, 0, nullptr, 0},
};

// A program that starts the tool with standard input, output or error closed would have the next
// file the tool opens take that number: the board or a file of the box would then receive the
// report or the log lines meant for the stream. Each closed one is opened on the null device,
// lowest first, so that each open takes the number just found free.
void OpenClosedStandardStreams()
{
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor)
    {
        if (fcntl(descriptor, F_GETFD) < 0 && errno == EBADF)
        {
            open("/dev/null", O_RDWR);
        }
    }
}

void RunStep(void (cDovozUdiZedezod::*step)())
{
    cDovozUdiZedezod updater;
    (updater.*step)();
}
} // namespace

// Callers learn the outcome from standard output and the files the step leaves, never from the
// exit status, which is 1 on every path.
int main(int argc, char** argv)
{
    OpenClosedStandardStreams();
    qInstallMessageHandler(customMessageHandler);

    int optionIndex = 0;
    const int option = getopt_long(argc, argv, "abcdefg", long_options, &optionIndex);

    switch (option)
    {
    case 'a':
        RunStep(&cDovozUdiZedezod::GetVersions);
        break;
    case 'b':
        RunStep(&cDovozUdiZedezod::CheckNewFirmware);
        break;
    case 'c':
    {
        QCoreApplication application(argc, argv);
        RunStep(&cDovozUdiZedezod::UpdateFirmwareFromInternet);
        break;
    }
    case 'd':
        RunStep(&cDovozUdiZedezod::ExtractNewFirmware);
        break;
    case 'e':
        RunStep(&cDovozUdiZedezod::UpdateFirmware);
        break;
    case 'g':
        RunStep(&cDovozUdiZedezod::UpdateDSPBoardFirmware);
        break;
    case 'h':
        qDebug() << "Triggering reboot.";
        Touch(REBOOT_REQUIRED_FILE);
        break;
    case 'i':
        RunStep(&cDovozUdiZedezod::BlockingDSPUpdate);
        break;
    default: // 'f', end of options, unknown or ambiguous options
        break;
    }
    return 1;
}
