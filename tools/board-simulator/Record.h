#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the board has seen so far: the report is made of it.

struct QueryCounts
{
    int version = 0;
    int bootloader = 0;
    int pin = 0;
    int boardId = 0;
};

struct Transfer
{
    int command = 0;
    bool bootloaderMessage = false;
    bool versionMessage = false;
    int versionMajor = -1;
    int versionMinor = -1;
    bool headerSeen = false;
    uint32_t length = 0;
    uint32_t announcedChecksum = 0;
    std::vector<unsigned char> received;
    int messages = 0;       // frames of this transfer
    int statusMessages = 0; // header and data messages
    std::string result;     // "" while running, then complete / refused / error / incomplete
    std::string error;
    bool intact = false;
    uint32_t receivedChecksum = 0;
    std::vector<int> frameLengths;
};

struct Record
{
    int frames = 0;
    QueryCounts queries;
    std::vector<std::string> errors;
    std::vector<Transfer> transfers;
};
