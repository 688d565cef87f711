#pragma once

// Named instants at which the crash test stops the tool dead, to see what a kill there leaves
// behind: between two renames that belong together, say, which a kill at a random moment hits
// only by chance. A sandbox build's tool kills itself (SIGKILL) at the point that the environment
// variable RIRARUDE_CRASH_POINT names, as a kill from outside would at that instant. In a box
// build CRASH_POINT is nothing at all: the box's tool reads no environment.

#if RIRARUDE_CRASH_POINTS
void CrashPoint(const char* name);
#define CRASH_POINT(name) CrashPoint(name)
#else
#define CRASH_POINT(name) static_cast<void>(0)
#endif
