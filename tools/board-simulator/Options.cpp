#include "Options.h"

#include "Usage.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

namespace
{

enum OptionId
{
    LINK = 1000,
    VERSION,
    VERSION_HEX,
    BOOTLOADER,
    PIN,
    PIN_DEFAULT,
    BOARD_ID,
    IMAGE,
    REPORT,
    CAPTURE,
    ONCE,
    REFUSE,
    SILENT,
    SILENT_FROM,
    STOP_READING,
    DELAY,
    SHORT,
    EXTRA,
    TIMEOUT,
    PARENT,
    VERBOSE,
    HELP
};

const option LONG_OPTIONS[] = {
    {"link", required_argument, nullptr, LINK},
    {"version", required_argument, nullptr, VERSION},
    {"version-hex", required_argument, nullptr, VERSION_HEX},
    {"bootloader", required_argument, nullptr, BOOTLOADER},
    {"pin", required_argument, nullptr, PIN},
    {"pin-default", required_argument, nullptr, PIN_DEFAULT},
    {"board-id", required_argument, nullptr, BOARD_ID},
    {"image", required_argument, nullptr, IMAGE},
    {"report", required_argument, nullptr, REPORT},
    {"capture", required_argument, nullptr, CAPTURE},
    {"once", no_argument, nullptr, ONCE},
    {"refuse", required_argument, nullptr, REFUSE},
    {"silent", no_argument, nullptr, SILENT},
    {"silent-from", required_argument, nullptr, SILENT_FROM},
    {"stop-reading", required_argument, nullptr, STOP_READING},
    {"delay", required_argument, nullptr, DELAY},
    {"short", required_argument, nullptr, SHORT},
    {"extra", required_argument, nullptr, EXTRA},
    {"timeout", required_argument, nullptr, TIMEOUT},
    {"die-with-parent", no_argument, nullptr, PARENT},
    {"verbose", no_argument, nullptr, VERBOSE},
    {"help", no_argument, nullptr, HELP},
    {nullptr, 0, nullptr, 0},
};

// The version answer and the pin levels depend on more than one option, so they are settled
// only once the whole command line has been read.
struct CommandLine
{
    Options& options;
    int pinDefault = 0;
    std::string versionText = "2.8";
    bool versionHex = false;
};

// An option that sets one field of Options: to its argument, or to true for a switch.
template <typename T> struct FieldOption
{
    int id;
    T Options::*field;
};

const FieldOption<std::string> TEXT_OPTIONS[] = {
    {LINK, &Options::link},
    {IMAGE, &Options::image},
    {REPORT, &Options::report},
    {CAPTURE, &Options::capture},
};

const FieldOption<bool> SWITCH_OPTIONS[] = {
    {ONCE, &Options::once},
    {SILENT, &Options::silent},
    {PARENT, &Options::dieWithParent},
    {VERBOSE, &Options::verbose},
};

struct NumberOption
{
    int id;
    long long min;
    long long max;
    const char* problem;
    void (*store)(CommandLine&, long long);
};

const NumberOption NUMBER_OPTIONS[] = {
    {BOOTLOADER, 0, 0xFFFFFFFFLL, "--bootloader wants a number from 0 to 4294967295",
     [](CommandLine& line, long long value)
     { line.options.bootloader = static_cast<uint32_t>(value); }},
    {PIN_DEFAULT, 0, 255, "--pin-default wants a number from 0 to 255",
     [](CommandLine& line, long long value) { line.pinDefault = static_cast<int>(value); }},
    {BOARD_ID, 0, 255, "--board-id wants a number from 0 to 255",
     [](CommandLine& line, long long value) { line.options.boardId = static_cast<int>(value); }},
    {SILENT_FROM, 1, 1LL << 30, "--silent-from wants a number from 1",
     [](CommandLine& line, long long value) { line.options.silentFrom = static_cast<int>(value); }},
    {STOP_READING, 0, 1LL << 30, "--stop-reading wants a number from 0",
     [](CommandLine& line, long long value)
     { line.options.stopReadingAt = static_cast<int>(value); }},
    {DELAY, 0, 3600000, "--delay wants milliseconds",
     [](CommandLine& line, long long value) { line.options.delayMs = static_cast<int>(value); }},
    {SHORT, 0, 4096, "--short wants a byte count",
     [](CommandLine& line, long long value)
     { line.options.shortAnswer = static_cast<int>(value); }},
    {EXTRA, 0, 4096, "--extra wants a byte count",
     [](CommandLine& line, long long value) { line.options.extra = static_cast<int>(value); }},
    {TIMEOUT, 1, 86400 * 365, "--timeout wants seconds",
     [](CommandLine& line, long long value) { line.options.timeoutS = static_cast<int>(value); }},
};

template <typename Entry, std::size_t N> const Entry* Find(const Entry (&table)[N], int id)
{
    const auto found = std::find_if(std::begin(table), std::end(table),
                                    [id](const Entry& e) { return e.id == id; });
    return found == std::end(table) ? nullptr : found;
}

bool ParseInt(const char* text, long long min, long long max, long long* value)
{
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || parsed < min || parsed > max)
    {
        return false;
    }
    *value = parsed;
    return true;
}

struct Range
{
    long long min;
    long long max;
};

// Parses "A<separator>B" with A and B numbers in their ranges.
bool ParsePair(const char* text, char separator, Range firstRange, Range secondRange,
               long long* first, long long* second)
{
    const char* split = std::strchr(text, separator);
    return split != nullptr &&
           ParseInt(std::string(text, static_cast<size_t>(split - text)).c_str(), firstRange.min,
                    firstRange.max, first) &&
           ParseInt(split + 1, secondRange.min, secondRange.max, second);
}

bool ParseHex(const char* text, std::vector<unsigned char>* bytes)
{
    std::string digits;
    for (const char* c = text; *c; ++c)
    {
        if (*c != ' ' && *c != ':')
            digits += *c;
    }
    if (digits.size() % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < digits.size(); i += 2)
    {
        char pair[3] = {digits[i], digits[i + 1], 0};
        char* end = nullptr;
        const long long value = std::strtoll(pair, &end, 16);
        if (*end != '\0')
            return false;
        bytes->push_back(static_cast<unsigned char>(value));
    }
    return true;
}

// Takes one option that is not a plain text, switch or number. Returns the status to exit
// with at once, or nothing to read on.
std::optional<int> TakeSpecialOption(int id, const char* argument, CommandLine& line)
{
    Options& options = line.options;
    switch (id)
    {
    case VERSION:
        line.versionText = argument;
        return std::nullopt;
    case VERSION_HEX:
        if (!ParseHex(argument, &options.versionAnswer))
            return UsageError("--version-hex wants pairs of hexadecimal digits");
        line.versionHex = true;
        return std::nullopt;
    case PIN:
    {
        long long pin = 0;
        long long level = 0;
        if (!ParsePair(argument, '=', {0, 255}, {0, 255}, &pin, &level))
            return UsageError("--pin wants P=V with P and V from 0 to 255");
        options.pinLevels[pin] = static_cast<int>(level);
        return std::nullopt;
    }
    case REFUSE:
    {
        long long at = 0;
        long long status = 0;
        if (!ParsePair(argument, ':', {1, 1LL << 30}, {1, 255}, &at, &status))
            return UsageError("--refuse wants K:S with K >= 1 and S from 1 to 255");
        options.refuseAt = static_cast<int>(at);
        options.refuseStatus = static_cast<int>(status);
        return std::nullopt;
    }
    case HELP:
        PrintHelp();
        return 0;
    default:
        return UsageError("unknown option");
    }
}

std::optional<int> TakeOption(int id, const char* argument, CommandLine& line)
{
    if (const FieldOption<std::string>* text = Find(TEXT_OPTIONS, id))
    {
        line.options.*text->field = argument;
    }
    else if (const FieldOption<bool>* flag = Find(SWITCH_OPTIONS, id))
    {
        line.options.*flag->field = true;
    }
    else if (const NumberOption* number = Find(NUMBER_OPTIONS, id))
    {
        long long value = 0;
        if (!ParseInt(argument, number->min, number->max, &value))
            return UsageError(number->problem);
        number->store(line, value);
    }
    else
    {
        return TakeSpecialOption(id, argument, line);
    }
    return std::nullopt;
}

// The version text is sent as 12 NUL-padded bytes unless --version-hex gave the bytes.
void SettleDefaults(CommandLine& line)
{
    Options& options = line.options;
    if (!line.versionHex)
    {
        options.versionAnswer.assign(12, 0);
        std::copy_n(line.versionText.begin(), std::min<size_t>(line.versionText.size(), 12),
                    options.versionAnswer.begin());
    }
    for (int& level : options.pinLevels)
    {
        if (level < 0)
            level = line.pinDefault;
    }
}

} // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, Options& options)
{
    std::fill(std::begin(options.pinLevels), std::end(options.pinLevels), -1);
    CommandLine line{options};
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
    SettleDefaults(line);
    return std::nullopt;
}
