// SIGINT and SIGTERM end `quavsim serve`: the handler only writes a byte to a pipe, which the main thread
// waits on outside the simulation.
#pragma once

namespace quavsim {

// Throws std::runtime_error when the pipe cannot be made.
void InstallStopSignals();
// Whether a stop signal has come (it stays pending for WaitForStop).
bool StopRequested();
// Stops the server as a signal would, from any thread (serve's scenario reaching its end).
void RequestStop();
// A second signal while the driver shuts down ends the process at once.
void RestoreStopSignals();
// Until a stop signal or, with a `duration` (simulated seconds, 0: none), until that much simulated time
// has passed at `speed` simulated seconds per host second. The thread steps out of the simulation while
// it waits, so that the driver's threads have the processor.
void WaitForStop(double duration, double speed);

} // namespace quavsim
