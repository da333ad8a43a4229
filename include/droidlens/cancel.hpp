// A process-wide request to stop the work in progress: set from a signal handler
// (Ctrl-C in the command line), from a binding's interrupt check or from a protocol
// server's cancellation, and honoured by everything that waits: the child-process
// runner kills its child's process group, the model client aborts its transfer, and
// sleeps end early. Each of them then throws CancelledError.
#pragma once

#include <chrono>

namespace droidlens::cancel {

// Asks the work in progress to stop. Async-signal-safe: may be called from a signal
// handler or another thread. `signal_number` (0 when none) is kept for the caller
// that decides the exit status.
void request(int signal_number = 0) noexcept;

// True once request() was called and until reset().
bool requested() noexcept;

// The signal number given to the last request(), or 0.
int signal_number() noexcept;

// Forgets a request, before new work starts.
void reset() noexcept;

// A descriptor that polls readable while a request is pending, for waits that also
// watch other descriptors. Created on first use; call once early (outside any signal
// handler) so that request() can wake waiters.
int wait_fd();

// Throws CancelledError ("Cancelled") when a request is pending.
void throw_if_requested();

// Sleeps for `duration` unless a request arrives first; then throws CancelledError.
void sleep_for(std::chrono::duration<double> duration);

}  // namespace droidlens::cancel
