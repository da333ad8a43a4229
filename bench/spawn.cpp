// Runs a command several times as a child process and reports, as JSON, the wall
// time of each run (fork to exit) and the largest peak resident memory of a run:
//
//     droidlens_spawn REPEAT PROGRAM [ARG...]
//     {"times": [0.0041, ...], "peak_rss_kb": 4820}
//
// bench/run.py measures whole processes with it, ours and the Python peers alike. A
// launcher of its own keeps the figures honest: the peak memory the kernel reports
// for a child includes what the launching process had mapped when it forked, which
// for a Python launcher is its whole interpreter. The child's standard output and
// error go to /dev/null; a run that fails stops the measurement with its status.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: droidlens_spawn REPEAT PROGRAM [ARG...]\n");
        return 2;
    }
    const int repeat = std::atoi(argv[1]);
    long peak_kb = 0;
    std::string times;
    for (int i = 0; i < repeat; ++i) {
        timespec start{}, end{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        const pid_t pid = fork();
        if (pid < 0) {
            std::perror("droidlens_spawn: fork");
            return 1;
        }
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execvp(argv[2], argv + 2);
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) < 0) {
            std::perror("droidlens_spawn: wait4");
            return 1;
        }
        clock_gettime(CLOCK_MONOTONIC, &end);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "droidlens_spawn: %s failed (status %d)\n", argv[2], status);
            return 1;
        }
        peak_kb = usage.ru_maxrss > peak_kb ? usage.ru_maxrss : peak_kb;
        const double seconds =
            static_cast<double>(end.tv_sec - start.tv_sec) + static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9;
        char buf[32];
        std::snprintf(buf, sizeof buf, "%s%.6f", i == 0 ? "" : ", ", seconds);
        times += buf;
    }
    std::printf("{\"times\": [%s], \"peak_rss_kb\": %ld}\n", times.c_str(), peak_kb);
    return 0;
}
