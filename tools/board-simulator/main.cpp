// board-simulator: plays one RirarUde board (the DSP board or a motor board) over a
// pseudo-terminal pair, so that the updater can be tried and tested without hardware.
//
// It answers the four interrogation queries with values from its command line,
// receives firmware transfers in every update mode, checking each frame's length,
// message type order and checksums, writes the image it received to a file, reports what it saw
// as JSON, and injects faults on request. Run with --help for the options.

#include "Board.h"
#include "Clock.h"
#include "Log.h"
#include "Options.h"
#include "PseudoTerminal.h"
#include "Signals.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

namespace
{

const size_t SHORTEST_FRAME = 3;
const size_t LONGEST_FRAME = 512;
// The rest of a frame follows at once: the updater writes each frame in one write.
const int REST_OF_FRAME_WAIT_MS = 2000;

// Reads one frame and gives it to the board, or tells the board what went wrong with it.
// Nothing happens when no frame begins within waitMs (-1: no limit).
void TakeFrame(PseudoTerminal& terminal, Board& board, int waitMs)
{
    unsigned char head[2];
    if (!terminal.ReadExactly(head, 1, waitMs))
    {
        return;
    }
    if (!terminal.ReadExactly(head + 1, 1, REST_OF_FRAME_WAIT_MS))
    {
        if (!StopRequested())
            board.Error("frame cut off after 1 byte");
        return;
    }
    const size_t length = (size_t(head[0]) << 8) | head[1];
    if (length < SHORTEST_FRAME || length > LONGEST_FRAME)
    {
        board.Error("frame length " + std::to_string(length) + " out of range");
        // There is no way to find the next frame's start: drop what follows at once.
        terminal.DiscardInput();
        board.FailRunningTransfer("frame length out of range", true);
        board.WriteReport();
        return;
    }
    std::vector<unsigned char> frame(length);
    frame[0] = head[0];
    frame[1] = head[1];
    if (!terminal.ReadExactly(frame.data() + 2, length - 2, REST_OF_FRAME_WAIT_MS))
    {
        if (!StopRequested())
        {
            board.Error("frame of " + std::to_string(length) + " bytes cut off");
            board.FailRunningTransfer("frame cut off", false);
            board.WriteReport();
        }
        return;
    }
    board.HandleFrame(frame);
}

void ServeFrames(PseudoTerminal& terminal, Board& board, int timeoutS)
{
    const long long deadline = timeoutS > 0 ? NowMs() + timeoutS * 1000LL : 0;
    while (!StopRequested())
    {
        int waitMs = -1;
        if (deadline)
        {
            const long long left = deadline - NowMs();
            if (left <= 0)
            {
                Verbose("timeout: exiting");
                break;
            }
            waitMs = static_cast<int>(std::min<long long>(left, 1000000));
        }
        if (board.StoppedReading())
        {
            PauseUnlessStopped(waitMs < 0 ? 1000 : waitMs);
            continue;
        }
        TakeFrame(terminal, board, waitMs);
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
    {
        board.StopReading();
    }
    board.WriteReport();
    std::printf("ready %s\n", terminal.SlavePath().c_str());
    std::fflush(stdout);

    ServeFrames(terminal, board, options.timeoutS);

    board.EndRunningTransfer("incomplete", "the simulator stopped during the transfer");
    board.WriteReport();
    terminal.Close();
    return board.ExitStatus();
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (const std::optional<int> status = ParseCommandLine(argc, argv, options))
    {
        return *status;
    }
    SetVerbose(options.verbose);
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
