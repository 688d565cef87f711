#pragma once

// An exclusive flock on an open descriptor, waited for within a limit: the kernel drops it with
// the process that holds it, so a killed holder never holds up the next one.

// Takes the lock, trying again until waitMs have passed. 0 once it is held; else the errno of
// the failure, EWOULDBLOCK when another holder kept it for the whole wait.
int LockExclusivelyWithin(int descriptor, int waitMs);
