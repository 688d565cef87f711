#pragma once

// Lines on standard error, each led by the program's name.

#include <cstdarg>
#include <cstdio>

inline bool gVerbose = false;

inline void PrintLine(const char* format, va_list arguments)
{
    std::fputs("board-simulator: ", stderr);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
}

// Always printed: what keeps the simulator from doing its job.
__attribute__((format(printf, 1, 2))) inline void Warn(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    PrintLine(format, arguments);
    va_end(arguments);
}

// Printed only with --verbose: what the board sees and does, frame by frame.
__attribute__((format(printf, 1, 2))) inline void Verbose(const char* format, ...)
{
    if (!gVerbose)
        return;
    va_list arguments;
    va_start(arguments, format);
    PrintLine(format, arguments);
    va_end(arguments);
}
