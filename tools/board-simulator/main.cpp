// board-simulator: plays one RirarUde board (the DSP board or a motor board) over a
// pseudo-terminal pair, so that the updater can be tried and tested without hardware.
//
// It answers the four interrogation queries with values from its command line, receives
// firmware transfers in every update mode, checking each frame's length, message type order and
// checksums, writes the image it received to a file, reports what it saw as JSON, and injects
// faults on request. Board.h describes the wire protocol.

#include "Board.h"
#include "PseudoTerminal.h"

#include <QByteArray>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <optional>
#include <sys/prctl.h>
#include <unistd.h>

namespace
{

const char USAGE[] = R"(Usage: board-simulator --link PATH [options]

Plays one RirarUde board over a pseudo-terminal whose slave side PATH links to, as the board's
USB character device (<box root>/dev/qv_core_rack in a sandbox build, say). Prints
"ready <slave path>" on standard output once the link is in place.

  --version TEXT       version query answer, sent as 12 bytes, NUL-padded (default "2.8")
  --version-hex HEX    the version query's answer bytes, any number (overrides --version)
  --bootloader N       bootloader version, sent as 4 bytes, least significant first (default 0)
  --pin P=V            level V of pin P (repeatable; other pins answer 0)
  --board-id N         board ID byte (default 1)
  --image FILE         write the image bytes received to FILE when a transfer ends
  --report FILE        write what the board saw to FILE as JSON, after every query, at the end
                       of every transfer and at exit
  --capture FILE       append every byte received to FILE
Faults (K counts the header and data messages of a transfer, the header being 1):
  --refuse K:S         answer status S (1-255) instead of 0 to message K
  --silent             never answer anything (frames are still received and checked)
  --silent-from K      give no status from message K on
  --stop-reading K     stop reading after answering message K (0: before the first frame), with
                       the input filled first so that the updater's next write finds no room
  --delay MS           wait MS milliseconds before every answer
  --extra N            send N more bytes (0xA5) after every answer
  --timeout S          exit after S seconds (default: never)
  --die-with-parent    exit when the process that started it exits

A transfer's "result" in the report is "complete", "refused", "error" (a bad frame, answered
with status 238 when a status is due), "unanswered" (the whole image came, the last status was
withheld) or "incomplete" (broken off); "intact": the whole image came, checksums matching.
Exit status: 0 when every transfer was complete and intact, 1 when one was not, 2 on a usage
error, 3 when the pseudo-terminal could not be set up. SIGTERM, SIGINT and SIGHUP end it
cleanly: the report is written and the link removed.
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
bool ParseNumber(const std::string& text, long long min, long long max, long long& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 0);
    return errno == 0 && end != text.c_str() && *end == '\0' && value >= min && value <= max;
}

// "A<separator>B", with A from 0 to firstMax and B from 0 to 255.
bool ParsePair(const std::string& text, char separator, long long firstMax, long long& first,
               long long& second)
{
    const size_t split = text.find(separator);
    return split != std::string::npos && ParseNumber(text.substr(0, split), 0, firstMax, first) &&
           ParseNumber(text.substr(split + 1), 0, 255, second);
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

int Run(const Options& options)
{
    PseudoTerminal terminal;
    if (!terminal.Open(options.link, options.capture))
    {
        terminal.Close();
        return 3;
    }
    Board board(options, terminal);
    if (options.stopReadingAt == 0)
        board.StopReading();
    board.WriteReport();
    std::printf("ready %s\n", terminal.SlavePath().c_str());
    std::fflush(stdout);

    alarm(static_cast<unsigned>(options.timeoutS)); // 0: none
    board.Serve();

    board.Finish();
    terminal.Close();
    return board.ExitStatus();
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
    return Run(options);
}
