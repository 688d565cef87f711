#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// SIGTERM, SIGINT, SIGHUP and SIGALRM (the --timeout) ask the simulator to stop cleanly. They
// stay blocked except while it waits (on the terminal, or in PauseUnlessStopped), so none is
// lost between a look at StopRequested() and the wait that follows it. SIGPIPE is ignored: a
// write whose reader went away fails instead of ending the board.
void TakeStopSignalsOnlyWhileWaiting();
bool StopRequested();
// Waits for milliseconds (-1: no limit) unless a stop is requested first.
void PauseUnlessStopped(long long milliseconds);

// The board's end of a pseudo-terminal pair, reached by the updater through a symlink to the
// slave side, as if the link were the board's USB character device.
class PseudoTerminal
{
public:
    PseudoTerminal() = default;
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;
    // Opens the pair, in raw mode or in the kernel's default settings, the capture file (when
    // capturePath is not empty) and puts the link in place of whatever file was at linkPath. Says
    // what failed on standard error.
    bool Open(const std::string& linkPath, const std::string& capturePath, bool raw);
    // Removes the link when it still points to this terminal, and closes everything.
    ~PseudoTerminal();

    const std::string& SlavePath() const { return mSlavePath; }

    // Reads exactly size bytes, waiting at most waitMs for each piece (-1: no limit). Returns
    // false on stop, timeout or error.
    bool ReadExactly(unsigned char* buffer, size_t size, int waitMs);
    // Drops input until none has come for 50 ms.
    void DiscardInput();
    // Fills the updater-to-board direction from the board's own end until no byte more fits,
    // as the input buffer of a board that has stopped reading.
    void FillInput();
    // Writes all bytes unless a stop comes first; false on a write error.
    bool WriteAll(const std::vector<unsigned char>& bytes);

private:
    int mMaster = -1;
    int mSlave = -1;
    std::string mSlavePath;
    std::string mLinkPath;
    FILE* mCapture = nullptr;
};
