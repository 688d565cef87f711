// board-simulator: plays one RirarUde board (the DSP board or a motor board) over a
// pseudo-terminal pair, so that the updater can be tried and tested without hardware.
//
// It answers the four interrogation queries with values from its command line, receives
// firmware transfers in every update mode, checking each frame's length, message type order and
// checksums, writes the image it received to a file, reports what it saw as JSON, and injects
// faults on request. Run with --help for the options; Board.h describes the wire protocol.

#include "Board.h"
#include "Log.h"
#include "Options.h"
#include "PseudoTerminal.h"

#include <QDeadlineTimer>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <unistd.h>

namespace
{

void ServeFrames(Board& board, int timeoutS)
{
    const QDeadlineTimer deadline(timeoutS > 0 ? timeoutS * 1000LL : -1);
    while (!StopRequested())
    {
        if (deadline.hasExpired())
        {
            Verbose("timeout: exiting");
            return;
        }
        const int waitMs =
            deadline.isForever() ? -1 : int(std::min<qint64>(deadline.remainingTime(), 1000000));
        if (board.StoppedReading())
            PauseUnlessStopped(waitMs < 0 ? 1000 : waitMs);
        else
            board.TakeFrame(waitMs);
    }
}

int Run(const Options& options)
{
    PseudoTerminal terminal;
    if (!terminal.Open(options.link, options.capture))
    {
        terminal.Close();
        return 3;
    }
    Board board(options, terminal);
    if (options.stopReadingAt == 0)
        board.StopReading();
    board.WriteReport();
    std::printf("ready %s\n", terminal.SlavePath().c_str());
    std::fflush(stdout);

    ServeFrames(board, options.timeoutS);

    board.Finish();
    terminal.Close();
    return board.ExitStatus();
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (const std::optional<int> status = ParseCommandLine(argc, argv, options))
        return *status;
    gVerbose = options.verbose;
    TakeStopSignalsOnlyWhileWaiting();
    if (options.dieWithParent)
    {
        const pid_t parent = getppid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The parent may have gone before the request was in place.
        if (getppid() != parent)
            return 1;
    }
    return Run(options);
}
