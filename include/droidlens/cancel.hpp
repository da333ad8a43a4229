// Stopping work in progress. Two requests are honoured by everything that waits: the
// process-wide one here (a signal handler of the command line, droidlens.cancel() in
// Python: "stop every run") and the current run's own token (run.hpp: one Python
// call, one protocol request). The child-process runner then kills its child's
// process group, the model client aborts its transfer, and sleeps end early; each of
// them throws CancelledError.
#pragma once

#include <array>
#include <chrono>

namespace droidlens::cancel {

// Asks the work in progress to stop. Async-signal-safe: may be called from a signal
// handler or another thread. `signal_number` (0 when none) is kept for the caller
// that decides the exit status.
void request(int signal_number = 0) noexcept;

// True once request() was called and until reset(), or once the current run's own
// token was cancelled; false inside a Shield.
bool requested() noexcept;

// The signal number given to the last request(), or 0.
int signal_number() noexcept;

// Forgets the process-wide request, before new work starts. Runs' own tokens are
// untouched.
void reset() noexcept;

// A descriptor that polls readable while a request is pending, for waits that also
// watch other descriptors. Created on first use; call once early (outside any signal
// handler) so that request() can wake waiters.
int wait_fd();

// The descriptors a wait on this thread watches: the process-wide one and the current
// run's own (-1 when there is no run). Both -1 inside a Shield.
std::array<int, 2> watch_fds();

// Throws CancelledError ("Cancelled") when a request is pending.
void throw_if_requested();

// Sleeps for `duration` unless a request arrives first; then throws CancelledError.
void sleep_for(std::chrono::duration<double> duration);

// Holds requests back from this thread while it lives, for one short clean-up call
// that must still run when the work is being cancelled (giving the user their
// keyboard back). Nothing is cleared: the request is seen again afterwards, and no
// other thread or run ever misses it.
class Shield {
public:
    Shield() noexcept;
    ~Shield();
    Shield(const Shield&) = delete;
    Shield& operator=(const Shield&) = delete;
};

}  // namespace droidlens::cancel
