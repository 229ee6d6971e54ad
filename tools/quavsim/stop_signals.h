// SIGINT and SIGTERM end `quavsim serve` and stop `quavsim run` at the simulated instant they come: the
// handler only sets a flag and writes a byte to a pipe, which serve's main thread waits on outside the
// simulation and run's loop asks at each step.
#pragma once

namespace quavsim {

// Also unblocks the two signals, so that one sent before (while its starter kept them blocked) stops the
// program now. Throws std::runtime_error when the pipe cannot be made.
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
