#include "Options.h"

#include <QByteArray>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>

namespace
{

const char USAGE[] =
    R"(Usage: board-simulator --link PATH [options]

Plays one RirarUde board over a pseudo-terminal. The updater opens PATH (a symlink to the
terminal's slave side) as if it were the board's USB character device, for example
<box root>/dev/qv_core_rack in a sandbox build. When ready, the simulator prints
"ready <slave path>" on standard output.

Board answers:
  --version TEXT        firmware version text for the version query (00 03 01); sent as 12
                        bytes, NUL-padded (default "2.8")
  --version-hex HEX     the 12 answer bytes of the version query as hexadecimal (overrides
                        --version; may be shorter or longer than 12 bytes)
  --bootloader N        bootloader version for query 00 03 20, sent as 4 bytes, least
                        significant first (default 0)
  --pin P=V             level byte V answered for pin P (query 00 04 0A P); repeatable;
                        other pins answer 0
  --board-id N          board ID byte for query 00 0B 02 ... (default 1)

Transfers:
  --image FILE          write the image bytes received to FILE when a transfer ends
  --report FILE         write a JSON summary (queries, transfers, errors) to FILE, rewritten
                        after every query and every transfer that ends, and at exit
  --capture FILE        append every byte received from the updater to FILE

Faults:
  --refuse K:S          answer status S (1-255) instead of 0 to the K-th status-bearing
                        message of a transfer (1 = the header message, 2 = the first data
                        message, ...)
  --silent              never answer anything (frames are still received and checked)
  --silent-from K       give no status from the K-th status-bearing message of a transfer on
  --stop-reading K      stop reading after answering the K-th status-bearing message of a
                        transfer (0: before the first frame); the terminal's input is filled
                        first, so the updater's next write finds no room
  --delay MS            wait MS milliseconds before every answer
  --extra N             send N more bytes (0xA5) after every answer

Lifetime:
  --timeout S           exit by itself after S seconds (default: never)
  --die-with-parent     exit when the process that started it exits
  --verbose             describe every frame on standard error
  --help                this text

Each transfer in the report has a "result": "complete" (every message accepted), "refused",
"error" (a bad frame; the simulator answers status 238 to it when a status is due),
"unanswered" (the whole image came but a fault withheld the last status) or "incomplete"
(broken off); "intact" tells whether the whole image came with matching checksums.

Exit status: 0 when every transfer was complete and intact (or none came), 1 when one was not,
2 on a usage error, 3 when the pseudo-terminal could not be set up.
SIGTERM, SIGINT and SIGHUP end it cleanly: the report is written (an unfinished transfer is
recorded as "incomplete") and the symlink is removed.
)";

// Long options only: the letters merely tell them apart.
const option LONG_OPTIONS[] = {
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
    {"verbose", no_argument, nullptr, 'V'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// The version answer depends on two options, so it is settled once the whole line is read.
struct CommandLine
{
    Options& options;
    std::string versionText;
    std::optional<std::vector<unsigned char>> versionHex;
};

int UsageError(const char* problem)
{
    std::fprintf(stderr, "board-simulator: %s\n\n%s", problem, USAGE);
    return 2;
}

struct Range
{
    long long min;
    long long max;
};

// A whole number in decimal, octal (0...) or hexadecimal (0x...).
bool ParseNumber(const std::string& text, Range range, long long& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 0);
    return errno == 0 && end != text.c_str() && *end == '\0' && value >= range.min &&
           value <= range.max;
}

template <typename Field>
std::optional<int> TakeNumber(const char* text, Range range, const char* problem, Field& field)
{
    long long value = 0;
    if (!ParseNumber(text, range, value))
        return UsageError(problem);
    field = static_cast<Field>(value);
    return std::nullopt;
}

// "A<separator>B", with A and B numbers in their ranges.
bool ParsePair(const std::string& text, char separator, Range firstRange, Range secondRange,
               long long& first, long long& second)
{
    const size_t split = text.find(separator);
    return split != std::string::npos && ParseNumber(text.substr(0, split), firstRange, first) &&
           ParseNumber(text.substr(split + 1), secondRange, second);
}

// Pairs of hexadecimal digits, blanks and colons between them allowed.
bool ParseHex(const char* text, std::vector<unsigned char>& bytes)
{
    const QByteArray digits = QByteArray(text).replace(' ', "").replace(':', "");
    if (digits.size() % 2 != 0 || !std::all_of(digits.begin(), digits.end(),
                                               [](unsigned char c) { return std::isxdigit(c); }))
        return false;
    const QByteArray parsed = QByteArray::fromHex(digits);
    bytes.assign(parsed.begin(), parsed.end());
    return true;
}

// Returns the status to exit with at once, or nothing to read on.
std::optional<int> TakeOption(int id, const char* argument, CommandLine& line)
{
    Options& options = line.options;
    long long first = 0;
    long long second = 0;
    switch (id)
    {
    case 'l': // --link
        options.link = argument;
        return std::nullopt;
    case 'v': // --version
        line.versionText = argument;
        return std::nullopt;
    case 'x': // --version-hex
        if (!ParseHex(argument, line.versionHex.emplace()))
            return UsageError("--version-hex wants pairs of hexadecimal digits");
        return std::nullopt;
    case 'b': // --bootloader
        return TakeNumber(argument, {0, 0xFFFFFFFFLL},
                          "--bootloader wants a number from 0 to 4294967295", options.bootloader);
    case 'p': // --pin
        if (!ParsePair(argument, '=', {0, 255}, {0, 255}, first, second))
            return UsageError("--pin wants P=V with P and V from 0 to 255");
        options.pinLevels[first] = static_cast<unsigned char>(second);
        return std::nullopt;
    case 'i': // --board-id
        return TakeNumber(argument, {0, 255}, "--board-id wants a number from 0 to 255",
                          options.boardId);
    case 'm': // --image
        options.image = argument;
        return std::nullopt;
    case 'r': // --report
        options.report = argument;
        return std::nullopt;
    case 'c': // --capture
        options.capture = argument;
        return std::nullopt;
    case 'R': // --refuse
        if (!ParsePair(argument, ':', {1, 1LL << 30}, {1, 255}, first, second))
            return UsageError("--refuse wants K:S with K >= 1 and S from 1 to 255");
        options.refuseAt = static_cast<int>(first);
        options.refuseStatus = static_cast<unsigned char>(second);
        return std::nullopt;
    case 's': // --silent
        options.silent = true;
        return std::nullopt;
    case 'S': // --silent-from
        return TakeNumber(argument, {1, 1LL << 30}, "--silent-from wants a number from 1",
                          options.silentFrom);
    case 'f': // --stop-reading
        return TakeNumber(argument, {0, 1LL << 30}, "--stop-reading wants a number from 0",
                          options.stopReadingAt);
    case 'd': // --delay
        return TakeNumber(argument, {0, 3600000}, "--delay wants milliseconds", options.delayMs);
    case 'e': // --extra
        return TakeNumber(argument, {0, 4096}, "--extra wants a byte count", options.extra);
    case 't': // --timeout
        return TakeNumber(argument, {1, 86400 * 365}, "--timeout wants seconds", options.timeoutS);
    case 'P': // --die-with-parent
        options.dieWithParent = true;
        return std::nullopt;
    case 'V': // --verbose
        options.verbose = true;
        return std::nullopt;
    case 'h': // --help
        std::fputs(USAGE, stdout);
        return 0;
    default:
        return UsageError("unknown option");
    }
}

// The version text goes out as 12 NUL-padded bytes, unless --version-hex gave the bytes.
std::vector<unsigned char> VersionAnswer(const CommandLine& line)
{
    if (line.versionHex)
        return *line.versionHex;
    std::vector<unsigned char> answer(12, 0);
    std::copy_n(line.versionText.begin(), std::min<size_t>(line.versionText.size(), 12),
                answer.begin());
    return answer;
}

} // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, Options& options)
{
    CommandLine line{options, "2.8", std::nullopt};
    int id;
    while ((id = getopt_long(argc, argv, "", LONG_OPTIONS, nullptr)) != -1)
    {
        if (const std::optional<int> status = TakeOption(id, optarg, line))
            return status;
    }
    if (optind < argc)
        return UsageError("unexpected argument");
    if (options.link.empty())
        return UsageError("--link PATH is required");
    options.versionAnswer = VersionAnswer(line);
    return std::nullopt;
}
