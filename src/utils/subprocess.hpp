// Child processes: run a program without a shell, capture what it prints, and kill it
// when it runs past its time-out, prints without end or is cancelled.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace droidlens::proc {

struct ProcessResult {
    int exit_code = 0;        // exit status, or 128 + signal number when killed by a signal
    std::string stdout_data;  // raw bytes (binary-safe)
    std::string stderr_data;
};

// What one call keeps of a child's output at most (standard output and standard
// error together): far above the largest screenshot a device sends (an uncompressed
// 4K RGBA PNG is about 33 MiB), far below what would strain the host.
inline constexpr std::size_t kMaxOutputBytes = std::size_t{64} << 20;

// Runs argv[0] (looked up on PATH when it has no slash) with the given arguments, no
// shell involved, standard input from /dev/null, in a process group of its own.
//
// The child inherits no descriptor but 0, 1 and 2, and an environment without the
// model settings (DROIDLENS_*, OPENAI_*) and without any variable whose value holds a
// registered secret (utils/secrets.hpp): an adb server it starts lives on with both.
// It is waited for in a way that works whatever the host process does with SIGCHLD
// (ignored, or a handler that reaps every child).
//
// Returns when the program has exited. Throws ProcessError when it cannot be started
// ("[Errno 2] No such file or directory: 'adb'") or prints more than `max_output`
// bytes, TimeoutError when it runs past `timeout` ("Command '['adb', 'devices', '-l']'
// timed out after 5 seconds"), CancelledError on a cancel request (utils/cancel.hpp).
// In all three cases the whole process group is killed and nothing waits for pipes
// that a grandchild still holds open.
ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                          std::size_t max_output = kMaxOutputBytes);

// True when run_process would find `program` (a path, or a name looked up on PATH)
// as an executable file.
bool on_path(const std::string& program);

// The environment a child gets: `env` (NAME=value entries) without the entries
// described above.
std::vector<std::string> child_environment(char** env);

}  // namespace droidlens::proc
