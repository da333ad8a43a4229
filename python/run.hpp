// Running library work from Python: off the interpreter lock, on a worker thread, so
// that Ctrl-C in the calling thread can stop it; and the library's console lines
// sent to sys.stderr or to a Python callback.
#pragma once

#include <droidlens/json.hpp>
#include <droidlens/run.hpp>

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>

namespace droidlens::python {

// Runs `work` on a worker thread, as a run of its own (run.hpp) whose cancel token is
// `token` (a fresh one when null), while the calling thread, holding the interpreter
// lock, waits without it and looks for pending signals every few milliseconds. On a
// KeyboardInterrupt (or any exception a Python signal handler raises) it cancels this
// run's token (other threads' runs go on), waits for the worker to end (its adb children are killed, its
// model request aborted) and raises that exception. Otherwise it returns what `work`
// returned or rethrows what it threw. `on_interrupt`, when given, is called (with
// the interpreter lock held) right after the cancel request, for work the library
// cannot stop by itself, such as Python code running on the worker.
Json run_interruptibly(const std::function<Json()>& work, const std::function<void()>& on_interrupt = {},
                       std::shared_ptr<CancelToken> token = nullptr);

// Seconds the library's own work took in the last run_interruptibly call of this
// thread: the rest of a call's time is the binding's cost (measured by make bench).
double last_work_seconds();

// Asks every run in progress to stop (droidlens.cancel()).
void request_cancel();

// Points the library's console at sys.stderr (looked up at every line, so that
// redirections of sys.stderr are honoured). Called once when the module loads.
void install_console();

// Console lines go to `callback` (called with each line, without its line break) or,
// when it is None, back to sys.stderr. Returns the callback it replaces, or None.
pybind11::object set_console_callback(pybind11::object callback);

}  // namespace droidlens::python
