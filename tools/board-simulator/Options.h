#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the command line asks of the simulated board; see the usage text for each option.
struct Options
{
    std::string link;
    std::vector<unsigned char> versionAnswer;
    uint32_t bootloader = 0;
    unsigned char pinLevels[256] = {};
    unsigned char boardId = 1;
    std::string image;
    std::string report;
    std::string capture;
    int refuseAt = 0;
    unsigned char refuseStatus = 0;
    bool silent = false;
    int silentFrom = 0;
    int stopReadingAt = -1;
    int delayMs = 0;
    int extra = 0;
    int timeoutS = 0;
    bool dieWithParent = false;
    bool verbose = false;
};

// Fills options from the command line. Returns the status to exit with at once (after --help
// or a usage error, which it has already reported), or nothing when the board should run.
std::optional<int> ParseCommandLine(int argc, char** argv, Options& options);
