#pragma once

#include <poll.h>
#include <time.h>

// SIGTERM, SIGINT and SIGHUP ask the simulator to stop cleanly. They stay blocked except inside
// PollTakingSignals, so none is lost between a look at StopRequested() and the wait that
// follows it. SIGPIPE is ignored: a write whose reader went away fails instead of ending the
// board.
void TakeStopSignalsOnlyWhileWaiting();

bool StopRequested();

// poll() that lets the stop signals in for as long as it waits (null wait: no limit).
int PollTakingSignals(pollfd* descriptors, nfds_t count, const timespec* wait);

// Waits for milliseconds unless a stop is requested first.
void PauseUnlessStopped(long long milliseconds);
