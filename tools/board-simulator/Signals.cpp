#include "Signals.h"

#include "Clock.h"

#include <csignal>
#include <initializer_list>

namespace
{

volatile sig_atomic_t gStop = 0;

void OnStopSignal(int)
{
    gStop = 1;
}

} // namespace

void TakeStopSignalsOnlyWhileWaiting()
{
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
    {
        struct sigaction action
        {
        };
        action.sa_handler = OnStopSignal;
        sigaction(signal, &action, nullptr);
        sigaddset(&blocked, signal);
    }
    std::signal(SIGPIPE, SIG_IGN);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
}

bool StopRequested()
{
    return gStop != 0;
}

int PollTakingSignals(pollfd* descriptors, nfds_t count, const timespec* wait)
{
    sigset_t unblocked;
    sigemptyset(&unblocked);
    return ppoll(descriptors, count, wait, &unblocked);
}

void PauseUnlessStopped(long long milliseconds)
{
    const long long until = NowMs() + milliseconds;
    while (!gStop && NowMs() < until)
    {
        const long long left = until - NowMs();
        const timespec wait{static_cast<time_t>(left / 1000),
                            static_cast<long>(left % 1000) * 1000000L};
        PollTakingSignals(nullptr, 0, &wait);
    }
}
