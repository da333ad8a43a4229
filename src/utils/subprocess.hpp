// Child processes: run a program without a shell, capture what it prints, and kill it
// when it runs past its time-out.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace droidlens::proc {

struct ProcessResult {
    int exit_code = 0;        // exit status, or 128 + signal number when killed by a signal
    std::string stdout_data;  // raw bytes (binary-safe)
    std::string stderr_data;
};

// Runs argv[0] (looked up on PATH when it has no slash) with the given arguments,
// no shell involved, standard input from /dev/null. Returns when the program has
// exited. Throws ProcessError when it cannot be started (missing, not executable:
// "[Errno 2] No such file or directory: 'adb'") and TimeoutError when it runs past
// `timeout` ("Command '['adb', 'devices', '-l']' timed out after 5 seconds"); on
// time-out the whole process group is killed and nothing waits for pipes that a
// grandchild still holds open.
ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds timeout);

}  // namespace droidlens::proc
