// board-simulator: plays one RirarUde board (the DSP board or a motor board) over a
// pseudo-terminal pair, so that the updater can be tried and tested without hardware. Board.h
// describes the wire protocol, what the board checks and the options.

#include "Board.h"
#include "PseudoTerminal.h"

#include <QByteArray>
#include <csignal>
#include <cstdio>
#include <getopt.h>
#include <optional>
#include <sys/prctl.h>
#include <unistd.h>

namespace
{

// Board.h tells what each option does.
const char USAGE[] = R"(Usage: board-simulator --link PATH [--report FILE] [--image FILE]
  [--capture FILE] [--version TEXT | --version-hex HEX] [--bootloader N] [--pin P=V]...
  [--board-id N] [--refuse K:S] [--silent] [--silent-from K] [--stop-reading K] [--delay MS]
  [--extra N] [--cooked] [--timeout S] [--die-with-parent]
Plays one board on a pseudo-terminal whose slave side PATH links to, and prints "ready <slave>".
Exit status: 0 when every transfer was complete and intact, 1 when not, 2 on a usage error, 3
when the pseudo-terminal could not be set up.
)";

// Long options only: the letters merely tell them apart.
const option OPTIONS[] = {
    {"link", required_argument, nullptr, 'l'},
    {"version", required_argument, nullptr, 'v'},
    {"version-hex", required_argument, nullptr, 'x'},
    {"bootloader", required_argument, nullptr, 'b'},
    {"pin", required_argument, nullptr, 'p'},
    {"board-id", required_argument, nullptr, 'i'},
    {"image", required_argument, nullptr, 'm'},
    {"report", required_argument, nullptr, 'r'},
    {"capture", required_argument, nullptr, 'c'},
    {"refuse", required_argument, nullptr, 'R'},
    {"silent", no_argument, nullptr, 's'},
    {"silent-from", required_argument, nullptr, 'S'},
    {"stop-reading", required_argument, nullptr, 'f'},
    {"delay", required_argument, nullptr, 'd'},
    {"extra", required_argument, nullptr, 'e'},
    {"cooked", no_argument, nullptr, 'k'},
    {"timeout", required_argument, nullptr, 't'},
    {"die-with-parent", no_argument, nullptr, 'P'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

const long long MANY = 1LL << 30;

int UsageError(const std::string& problem)
{
    std::fprintf(stderr, "board-simulator: %s (see --help)\n", problem.c_str());
    return 2;
}

// A whole number from min to max, in decimal, octal (0...) or hexadecimal (0x...).
bool ParseNumber(const QByteArray& text, long long min, long long max, long long& value)
{
    bool ok = false;
    value = text.toLongLong(&ok, 0);
    return ok && value >= min && value <= max;
}

// "A<separator>B", with A from 0 to firstMax and B from 0 to 255.
bool ParsePair(const QByteArray& text, char separator, long long firstMax, long long& first,
               long long& second)
{
    const QList<QByteArray> parts = text.split(separator);
    return parts.size() == 2 && ParseNumber(parts[0], 0, firstMax, first) &&
           ParseNumber(parts[1], 0, 255, second);
}

// Pairs of hexadecimal digits, nothing else.
bool ParseHex(const QByteArray& digits, Bytes& bytes)
{
    const QByteArray parsed = QByteArray::fromHex(digits);
    bytes.assign(parsed.begin(), parsed.end());
    return parsed.toHex() == digits.toLower();
}

// False when the argument does not fit the option.
bool TakeOption(int id, const char* argument, Options& options)
{
    long long pin = 0;
    long long level = 0;
    switch (id)
    {
    case 'l':
        options.link = argument;
        return true;
    case 'v':
        options.versionText = argument;
        return true;
    case 'x':
        return ParseHex(argument, options.versionHex.emplace());
    case 'b':
        return ParseNumber(argument, 0, 0xFFFFFFFF, options.bootloader);
    case 'p':
        if (!ParsePair(argument, '=', 255, pin, level))
            return false;
        options.pinLevels[pin] = static_cast<unsigned char>(level);
        return true;
    case 'i':
        return ParseNumber(argument, 0, 255, options.boardId);
    case 'm':
        options.image = argument;
        return true;
    case 'r':
        options.report = argument;
        return true;
    case 'c':
        options.capture = argument;
        return true;
    case 'R':
        return ParsePair(argument, ':', MANY, options.refuseAt, options.refuseStatus) &&
               options.refuseAt >= 1 && options.refuseStatus >= 1;
    case 's':
        options.silent = true;
        return true;
    case 'S':
        return ParseNumber(argument, 1, MANY, options.silentFrom);
    case 'f':
        return ParseNumber(argument, 0, MANY, options.stopReadingAt);
    case 'd':
        return ParseNumber(argument, 0, 3600000, options.delayMs);
    case 'e':
        return ParseNumber(argument, 0, 4096, options.extra);
    case 'k':
        options.cooked = true;
        return true;
    case 't':
        return ParseNumber(argument, 1, 86400 * 365, options.timeoutS);
    default: // 'P'
        options.dieWithParent = true;
        return true;
    }
}

// Returns the status to exit with at once (after --help or a usage error, which it has
// already reported), or nothing when the board should run.
std::optional<int> ParseCommandLine(int argc, char** argv, Options& options)
{
    int id;
    int index = 0;
    while ((id = getopt_long(argc, argv, "", OPTIONS, &index)) != -1)
    {
        if (id == 'h')
        {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (id == '?') // getopt_long has said what is wrong
            return UsageError("usage error");
        if (!TakeOption(id, optarg, options))
            return UsageError(std::string("bad value for --") + OPTIONS[index].name);
    }
    if (optind < argc)
        return UsageError("unexpected argument");
    if (options.link.empty())
        return UsageError("--link PATH is required");
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (const std::optional<int> status = ParseCommandLine(argc, argv, options))
        return *status;
    TakeStopSignalsOnlyWhileWaiting();
    if (options.dieWithParent)
    {
        const pid_t parent = getppid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The parent may have gone before the request was in place.
        if (getppid() != parent)
            return 1;
    }
    PseudoTerminal terminal;
    if (!terminal.Open(options.link, options.capture, !options.cooked))
        return 3;
    Board board(options, terminal);
    if (options.stopReadingAt == 0)
        board.StopReading();
    board.WriteReport();
    std::printf("ready %s\n", terminal.SlavePath().c_str());
    std::fflush(stdout);

    alarm(static_cast<unsigned>(options.timeoutS)); // 0: none
    board.Serve();
    return board.Finish();
}
