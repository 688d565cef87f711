#include "Usage.h"

#include <cstdio>

namespace
{

const char USAGE[] =
    R"(Usage: board-simulator --link PATH [options]

Plays one RirarUde board over a pseudo-terminal. The updater opens PATH (a symlink to the
terminal's slave side) as if it were the board's USB character device, for example
<box root>/dev/qv_core_rack in a sandbox build. When ready, the simulator prints
"ready <slave path>" on standard output.

Board answers:
  --version TEXT        firmware version text for the version query (00 03 01); sent as 12
                        bytes, NUL-padded (default "2.8")
  --version-hex HEX     the 12 answer bytes of the version query as hexadecimal (overrides
                        --version; may be shorter or longer than 12 bytes)
  --bootloader N        bootloader version for query 00 03 20, sent as 4 bytes, least
                        significant first (default 0)
  --pin P=V             level byte V answered for pin P (query 00 04 0A P); repeatable;
                        other pins answer --pin-default (default 0)
  --pin-default V       level byte for pins not given with --pin
  --board-id N          board ID byte for query 00 0B 02 ... (default 1)

Transfers:
  --image FILE          write the image bytes received to FILE when a transfer ends
  --report FILE         write a JSON summary (queries, transfers, errors) to FILE, rewritten
                        after every query and every transfer that ends, and at exit
  --capture FILE        append every byte received from the updater to FILE
  --once                exit when the first transfer ends (accepted to the end, refused, or
                        broken off by a bad frame)

Faults:
  --refuse K:S          answer status S (1-255) instead of 0 to the K-th status-bearing
                        message of a transfer (1 = the header message, 2 = the first data
                        message, ...)
  --silent              never answer anything (frames are still received and checked)
  --silent-from K       give no status from the K-th status-bearing message of a transfer on
  --stop-reading K      stop reading after answering the K-th status-bearing message of a
                        transfer (0: before the first frame); the terminal's input is filled
                        first, so the updater's next write finds no room
  --delay MS            wait MS milliseconds before every answer
  --short N             send only the first N bytes of every answer (0 = none at all)
  --extra N             send N more bytes (0xA5) after every answer

Lifetime:
  --timeout S           exit by itself after S seconds (default: never)
  --die-with-parent     exit when the process that started it exits
  --verbose             describe every frame on standard error
  --help                this text

Each transfer in the report has a "result": "complete" (every message accepted), "refused",
"error" (a bad frame; the simulator answers status 238 to it when a status is due),
"unanswered" (the whole image came but a fault withheld the last status) or "incomplete"
(broken off); "intact" tells whether the whole image came with matching checksums.

Exit status: 0 when every transfer was complete and intact (or none came), 1 when one was not, 2 on a usage error, 3 when the pseudo-terminal could not be set up.
SIGTERM, SIGINT and SIGHUP end it cleanly: the report is written (an unfinished transfer is
recorded as "incomplete") and the symlink is removed.
)";

} // namespace

void PrintHelp()
{
    std::fputs(USAGE, stdout);
}

int UsageError(const char* problem)
{
    std::fprintf(stderr, "board-simulator: %s\n\n%s", problem, USAGE);
    return 2;
}
