#include "stop_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <stdexcept>

#include "errno_text.h"
#include "sim/sim.h"

namespace quavsim {

namespace {

// Written by the handler, waited on by WaitForStop.
int g_signal_pipe[2] = {-1, -1};
// Set by the handler too: a run's loop asks at every step, without a system call.
volatile sig_atomic_t g_stop = 0;

extern "C" void OnStopSignal(int)
{
    g_stop = 1;
    const int saved = errno;
    const ssize_t n = write(g_signal_pipe[1], "s", 1);
    (void)n;
    errno = saved;
}

} // namespace

void InstallStopSignals()
{
    if (g_signal_pipe[0] < 0 && pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error(Errno("cannot create a pipe"));
    }
    // What an earlier run or server of this process left is not a stop of this one.
    char drain[16];
    while (read(g_signal_pipe[0], drain, sizeof drain) > 0) {
    }
    g_stop = 0;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A signal that came while the signals were blocked (by whoever started the process) is taken now.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
}

void RequestStop()
{
    OnStopSignal(0);
}

void RestoreStopSignals()
{
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

bool StopRequested()
{
    if (g_stop != 0) {
        return true;
    }
    pollfd p{g_signal_pipe[0], POLLIN, 0};
    return g_signal_pipe[0] >= 0 && poll(&p, 1, 0) > 0;
}

void WaitForStop(double duration, double speed)
{
    const sim::Ticks end = sim::Now() + static_cast<sim::Ticks>(duration * sim::kTicksPerSecond);
    for (;;) {
        int timeout_ms = -1;
        if (duration > 0) {
            const sim::Ticks left = end - sim::Now();
            if (left <= 0) {
                return;
            }
            const double host_ms = static_cast<double>(left) / sim::kTicksPerMs / speed;
            timeout_ms = static_cast<int>(std::clamp(std::ceil(host_ms), 1.0, 3'600'000.0));
        }
        pollfd p{g_signal_pipe[0], POLLIN, 0};
        int ready;
        {
            sim::OutsideSimulation outside;
            ready = poll(&p, 1, timeout_ms);
        }
        if (ready > 0) {
            char drain[16];
            while (read(g_signal_pipe[0], drain, sizeof drain) > 0) {
            }
            return;
        }
    }
}

} // namespace quavsim
