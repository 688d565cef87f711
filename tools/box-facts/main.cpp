// Writes the box's facts as this build has them, taken from the code itself, to one JSON file:
// the tests, the demo and the benchmarks read every path, text, progress state, limit and the
// event log's time stamp from it instead of spelling them out.
//   box-facts --updater <tool> --board-simulator <simulator> [--emulator "<command>"] <file>

#include "BoxFacts.h"
#include "BuildConfig.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QSaveFile>
#include <cstdio>
#include <cstdlib>

void Refuse(const QString& why)
{
    std::fprintf(stderr, "box-facts: %s\n", qPrintable(why));
    std::exit(1);
}

namespace
{
// Where the build put the programs the facts are for, and what runs them on this machine.
QJsonObject Programs(const QCommandLineParser& arguments)
{
    return {{"updater", arguments.value("updater")},
            {"board_simulator", arguments.value("board-simulator")},
            {"emulator", QJsonArray::fromStringList(
                             arguments.value("emulator").split(' ', Qt::SkipEmptyParts))}};
}

QJsonObject Facts(const QCommandLineParser& arguments)
{
    return {{"box_root", QStringLiteral(RIRARUDE_BOX_ROOT)},
            {"paths", FixedPaths()},
            {"texts", FixedTexts()},
            {"fresh_box_directories", FreshBoxDirectories()},
            {"states", ProgressStates()},
            {"limits", BuiltLimits()},
            {"box_build_limits", BoxBuildLimits()},
            {"log_timestamp", LogTimestampPattern()},
            {"programs", Programs(arguments)}};
}
} // namespace

int main(int argc, char* argv[])
{
    // The tests run the tool in the C locale, whose day and month names its time stamps carry.
    qputenv("LC_ALL", "C");
    QCoreApplication application(argc, argv);
    QCommandLineParser arguments;
    arguments.addOptions({{"updater", "The updater program.", "path"},
                          {"board-simulator", "The board simulator program.", "path"},
                          {"emulator", "The command that runs this build's programs.", "command"}});
    arguments.addPositionalArgument("file", "The facts file to write.");
    arguments.process(application);
    if (arguments.positionalArguments().size() != 1)
        arguments.showHelp(2);

    QSaveFile file(arguments.positionalArguments().constFirst());
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(Facts(arguments)).toJson()) < 0 || !file.commit())
    {
        Refuse("cannot write " + file.fileName() + ": " + file.errorString());
    }
    return 0;
}
