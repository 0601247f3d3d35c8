#pragma once

namespace quobble {

// SIGINT and SIGTERM as a request to stop, for programs that must end
// cleanly rather than die where they stand (a download cut mid-body, a lock
// left behind). Once installed, a stop signal aborts every download in
// flight (InternetAbortAll), makes StopSignalFd() readable and is remembered.
// A second signal of the same kind ends the process at once, as usual.

// Installs the handlers; call once, from the main thread, before other
// threads start. False when the descriptor or the handlers cannot be made.
bool InstallStopSignals();
// The signal that asked to stop, 0 while none has.
int StopSignal();
// Readable once a stop signal has arrived (for poll or a socket notifier);
// -1 before InstallStopSignals.
int StopSignalFd();

}  // namespace quobble
