#include "CrashPoint.h"

#if RIRARUDE_CRASH_POINTS
#include <csignal>
#include <cstdlib>
#include <cstring>

void CrashPoint(const char* name)
{
    const char* wanted = std::getenv("RIRARUDE_CRASH_POINT");
    if (wanted != nullptr && std::strcmp(wanted, name) == 0)
    {
        std::raise(SIGKILL);
    }
}
#endif
