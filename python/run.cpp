#include "run.hpp"

#include "convert.hpp"

#include <droidlens/cancel.hpp>
#include <droidlens/console.hpp>
#include <droidlens/errors.hpp>

#include "utils/args.hpp"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <exception>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>
#include <unistd.h>

namespace py = pybind11;

namespace droidlens::python {

namespace {

// How often the waiting thread looks for Ctrl-C: short enough to feel immediate,
// long enough to cost nothing.
constexpr auto kSignalPoll = std::chrono::milliseconds(20);

// The process-wide request (droidlens.cancel(): every run) is cleared when a run starts while no other
// run is in progress, so that an old request does not stop new work and a request
// for one run in progress is not forgotten because another starts.
std::mutex g_runs_mutex;
int g_runs_active = 0;

void run_started() {
    std::lock_guard<std::mutex> lock(g_runs_mutex);
    if (g_runs_active++ == 0) cancel::reset();
}

void run_ended() {
    std::lock_guard<std::mutex> lock(g_runs_mutex);
    --g_runs_active;
}

thread_local double g_last_work_seconds = 0;

struct RunState {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    Json result;
    std::exception_ptr error;
    double work_seconds = 0;
};

}  // namespace

Json run_interruptibly(const std::function<Json()>& work, const std::function<void()>& on_interrupt,
                       std::shared_ptr<CancelToken> token) {
    std::shared_ptr<RunContext> run = new_run_context();
    if (token) run->cancel = std::move(token);
    run_started();
    struct EndRun {
        ~EndRun() { run_ended(); }
    } end_run;

    RunState state;
    std::thread worker([&state, &work, &run] {
        Json result;
        std::exception_ptr error;
        const auto started = std::chrono::steady_clock::now();
        try {
            ScopedRun scope(run);
            result = work();
        } catch (...) {
            error = std::current_exception();
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        std::lock_guard<std::mutex> lock(state.mutex);
        state.work_seconds = took.count();
        state.result = std::move(result);
        state.error = error;
        state.done = true;
        state.cv.notify_one();
    });

    while (true) {
        {
            py::gil_scoped_release unlocked;
            std::unique_lock<std::mutex> lock(state.mutex);
            if (state.cv.wait_for(lock, kSignalPoll, [&] { return state.done; })) break;
        }
        if (PyErr_CheckSignals() != 0) {
            // The signal's exception (KeyboardInterrupt) is raised once the work has
            // stopped; the worker's own CancelledError is dropped in its favour.
            py::error_already_set interrupted;
            run->cancel->cancel(SIGINT);  // this run only
            if (on_interrupt) on_interrupt();
            {
                py::gil_scoped_release unlocked;
                worker.join();
            }
            throw interrupted;
        }
    }
    {
        py::gil_scoped_release unlocked;
        worker.join();
    }
    g_last_work_seconds = state.work_seconds;
    if (state.error) std::rethrow_exception(state.error);
    return std::move(state.result);
}

double last_work_seconds() { return g_last_work_seconds; }

void request_cancel() { cancel::request(0); }

namespace {

// The Python callback for console lines, or null for sys.stderr. Touched only with
// the interpreter lock held; never destroyed, as the console outlives the module.
PyObject* g_console_callback = nullptr;

bool interpreter_running() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsInitialized() && !Py_IsFinalizing();
#else
    return Py_IsInitialized() && !_Py_IsFinalizing();
#endif
}

void write_line(const std::string& line) {
    if (!interpreter_running()) {
        const std::string text = line + "\n";
        [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        return;
    }
    py::gil_scoped_acquire gil;
    try {
        if (g_console_callback != nullptr) {
            py::reinterpret_borrow<py::object>(g_console_callback)(to_str(line));
            return;
        }
        py::object err = py::module_::import("sys").attr("stderr");
        if (err.is_none()) return;  // no stderr (pythonw, a closed stream): the line is dropped
        err.attr("write")(to_str(line + "\n"));
        err.attr("flush")();
    } catch (py::error_already_set& e) {
        // A console line must not end the run it reports on: the failure is shown
        // through sys.unraisablehook, as Python does for callbacks it cannot propagate.
        e.discard_as_unraisable("droidlens console");
    }
}

// Collects what console_line writes and hands complete lines on at each flush.
class ConsoleBuffer : public std::streambuf {
protected:
    int overflow(int c) override {
        if (c != traits_type::eof()) {
            std::lock_guard<std::mutex> lock(mutex_);
            pending_ += static_cast<char>(c);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.append(s, static_cast<size_t>(n));
        return n;
    }
    int sync() override {
        std::string lines;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const size_t end = pending_.rfind('\n');
            if (end == std::string::npos) return 0;
            lines = pending_.substr(0, end);
            pending_.erase(0, end + 1);
        }
        size_t at = 0;
        while (true) {
            const size_t nl = lines.find('\n', at);
            write_line(lines.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
            if (nl == std::string::npos) break;
            at = nl + 1;
        }
        return 0;
    }

private:
    std::mutex mutex_;
    std::string pending_;
};

}  // namespace

void install_console() {
    static ConsoleBuffer* buffer = new ConsoleBuffer;  // lives as long as the process
    static std::ostream* stream = new std::ostream(buffer);
    set_console_stream(*stream);
}

py::object set_console_callback(py::object callback) {
    if (!callback.is_none() && !PyCallable_Check(callback.ptr())) {
        throw TypeError(args::wrong_type_message("callback", "callable", python_type_name(callback)));
    }
    PyObject* previous = g_console_callback;
    g_console_callback = callback.is_none() ? nullptr : callback.release().ptr();
    return previous ? py::reinterpret_steal<py::object>(previous) : py::none();
}

}  // namespace droidlens::python
