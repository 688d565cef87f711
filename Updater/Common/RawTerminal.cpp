#include "RawTerminal.h"

#include <csignal>
#include <termios.h>

namespace
{
const int STOP_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int STOP_SIGNAL_COUNT = sizeof STOP_SIGNALS / sizeof STOP_SIGNALS[0];

// A step holds one board at a time; the others are room for shared code that holds several.
constexpr int MOST_HELD_TERMINALS = 4;

// Read by the stop handler: a slot's settings are in place before it is marked held.
struct HeldTerminal
{
    volatile sig_atomic_t held;
    int descriptor;
    termios saved;
};
HeldTerminal gHeld[MOST_HELD_TERMINALS];
int gHeldCount = 0;
struct sigaction gPreviousActions[STOP_SIGNAL_COUNT];

// Only async-signal-safe calls. The handler was reset to the default on entry and the signal is
// blocked until it returns: raised again here, it then ends the process as it would have.
void GiveSettingsBackAndStop(int signal)
{
    for (const HeldTerminal& terminal : gHeld)
    {
        if (terminal.held)
        {
            tcsetattr(terminal.descriptor, TCSANOW, &terminal.saved);
        }
    }
    raise(signal);
}

void TakeStopSignals()
{
    struct sigaction handler
    {
    };
    handler.sa_handler = GiveSettingsBackAndStop;
    handler.sa_flags = SA_RESETHAND;
    sigemptyset(&handler.sa_mask);
    for (int signal : STOP_SIGNALS)
    {
        sigaddset(&handler.sa_mask, signal);
    }
    for (int i = 0; i < STOP_SIGNAL_COUNT; ++i)
    {
        sigaction(STOP_SIGNALS[i], nullptr, &gPreviousActions[i]);
        if (gPreviousActions[i].sa_handler != SIG_IGN)
        {
            sigaction(STOP_SIGNALS[i], &handler, nullptr);
        }
    }
}

void LeaveStopSignals()
{
    for (int i = 0; i < STOP_SIGNAL_COUNT; ++i)
    {
        sigaction(STOP_SIGNALS[i], &gPreviousActions[i], nullptr);
    }
}

HeldTerminal* FreeSlot()
{
    for (HeldTerminal& terminal : gHeld)
    {
        if (!terminal.held)
        {
            return &terminal;
        }
    }
    return nullptr;
}
} // namespace

bool MakeTerminalRaw(int descriptor)
{
    HeldTerminal* slot = FreeSlot();
    termios saved{};
    if (slot == nullptr || tcgetattr(descriptor, &saved) != 0)
    {
        return false;
    }
    slot->descriptor = descriptor;
    slot->saved = saved;
    slot->held = 1;
    if (gHeldCount++ == 0)
    {
        TakeStopSignals();
    }
    termios raw = saved;
    cfmakeraw(&raw);
    // cfmakeraw leaves input flow control on: the terminal would put stop and start characters
    // into the board's input.
    raw.c_iflag &= ~(IXOFF | IXANY);
    tcsetattr(descriptor, TCSANOW, &raw);
    return true;
}

void RestoreTerminal(int descriptor)
{
    for (HeldTerminal& terminal : gHeld)
    {
        if (terminal.held && terminal.descriptor == descriptor)
        {
            tcsetattr(descriptor, TCSANOW, &terminal.saved);
            terminal.held = 0;
            if (--gHeldCount == 0)
            {
                LeaveStopSignals();
            }
            return;
        }
    }
}
