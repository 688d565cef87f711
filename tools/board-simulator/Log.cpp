#include "Log.h"

#include <cstdarg>
#include <cstdio>

namespace
{

bool gVerbose = false;

void PrintLine(const char* format, va_list arguments)
{
    std::fputs("board-simulator: ", stderr);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
}

} // namespace

void Warn(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    PrintLine(format, arguments);
    va_end(arguments);
}

void SetVerbose(bool verbose)
{
    gVerbose = verbose;
}

void Verbose(const char* format, ...)
{
    if (!gVerbose)
    {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    PrintLine(format, arguments);
    va_end(arguments);
}
