#pragma once

// Milliseconds on the monotonic clock: deadlines do not move when the wall clock is set.
long long NowMs();
