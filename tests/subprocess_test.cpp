#include "utils/subprocess.hpp"

#include <droidlens/errors.hpp>

#include "test_support.hpp"
#include <droidlens/cancel.hpp>
#include <droidlens/run.hpp>
#include "utils/secrets.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <filesystem>
#include <atomic>
#include <set>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using droidlens::proc::run_process;

namespace {

// Wall-clock seconds that `f` takes.
template <class F>
double seconds_of(F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

size_t open_fd_count() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

}  // namespace

TEST(RunProcess, ProgramsThatCannotStartGiveErrnoMessages) {
    EXPECT_THROW_MSG(run_process({"droidlens-no-such-program"}, 5s), droidlens::ProcessError,
                     "[Errno 2] No such file or directory: 'droidlens-no-such-program'");
    testsupport::TempDir dir;
    testsupport::write_text(dir.file("script"), "#!/bin/sh\necho hi\n");  // not executable
    EXPECT_THROW_MSG(run_process({dir.file("script")}, 5s), droidlens::ProcessError,
                     "[Errno 13] Permission denied: '" + dir.file("script") + "'");
    EXPECT_THROW(run_process({}, 5s), droidlens::ProcessError);
}

TEST(RunProcess, ArgumentsReachTheProgramVerbatimWithoutAShell) {
    const auto r = run_process({"printf", "%s|", "a b", "'c'", "$(echo x)", ";", ""}, 5s);
    EXPECT_EQ(r.stdout_data, "a b|'c'|$(echo x)|;||");
    EXPECT_EQ(r.exit_code, 0);
    // Standard input is /dev/null: a program that reads it finishes at once.
    EXPECT_EQ(run_process({"cat"}, 5s).stdout_data, "");
}

TEST(RunProcess, ExitCodesSignalsAndStderr) {
    auto r = run_process({"sh", "-c", "echo out; echo err >&2; exit 3"}, 5s);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.stdout_data, "out\n");
    EXPECT_EQ(r.stderr_data, "err\n");
    EXPECT_EQ(run_process({"sh", "-c", "kill -TERM $$"}, 5s).exit_code, 128 + 15);
}

TEST(RunProcess, OutputIsBinarySafeAndLargeOnBothPipes) {
    const auto r = run_process({"printf", "\\000\\377\\r\\n\\211PNG\\000"}, 5s);
    EXPECT_EQ(r.stdout_data, std::string("\0\xff\r\n\x89PNG\0", 9));

    // Well over a pipe buffer on both streams, stderr first: reading one pipe to its
    // end before the other would deadlock.
    const auto big = run_process(
        {"sh", "-c", "head -c 300000 /dev/zero | tr '\\0' e >&2; head -c 500000 /dev/zero | tr '\\0' o"}, 20s);
    EXPECT_EQ(big.exit_code, 0);
    EXPECT_EQ(big.stderr_data, std::string(300000, 'e'));
    EXPECT_EQ(big.stdout_data, std::string(500000, 'o'));
}

TEST(RunProcess, TimeOutKillsTheChildAndEverythingItStarted) {
    testsupport::TempDir dir;
    const std::string marker = dir.file("survivor");
    // The grandchild holds the pipes and would leave a marker if it outlived the kill.
    const std::vector<std::string> argv = {"sh", "-c", "(sleep 1; touch " + marker + ") & sleep 30", "it's"};
    const double took = seconds_of([&] {
        EXPECT_THROW_MSG(run_process(argv, 300ms), droidlens::TimeoutError,
                         "Command '['sh', '-c', '(sleep 1; touch " + marker +
                             ") & sleep 30', \"it's\"]' timed out after 0.3 seconds");
    });
    EXPECT_LT(took, 3.0);
    EXPECT_THROW_MSG(run_process({"sleep", "30"}, 1s), droidlens::TimeoutError,
                     "Command '['sleep', '30']' timed out after 1 seconds");
    std::this_thread::sleep_for(1200ms);
    EXPECT_FALSE(std::filesystem::exists(marker)) << "a grandchild survived the time-out";
}

TEST(RunProcess, ReturnsWhenTheChildExitsThoughAGrandchildHoldsThePipe) {
    double took = 0;
    droidlens::proc::ProcessResult r;
    took = seconds_of([&] { r = run_process({"sh", "-c", "echo started; sleep 30 & exit 4"}, 20s); });
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_EQ(r.stdout_data, "started\n");
}

TEST(RunProcess, LeavesNoDescriptorsBehind) {
    run_process({"true"}, 5s);  // let one-time allocations settle
    const size_t before = open_fd_count();
    for (int i = 0; i < 5; ++i) {
        run_process({"sh", "-c", "echo x; echo y >&2"}, 5s);
        EXPECT_THROW(run_process({"droidlens-no-such-program"}, 5s), droidlens::ProcessError);
    }
    EXPECT_THROW(run_process({"sleep", "5"}, 50ms), droidlens::TimeoutError);
    EXPECT_EQ(open_fd_count(), before);
    // Nor does the child inherit ours, not even descriptors opened without
    // close-on-exec (as libcurl's sockets are): it holds 0, 1 and 2 only.
    const int leaked = ::open("/dev/null", O_RDONLY);  // no O_CLOEXEC
    ASSERT_GE(leaked, 3);
    const auto r = run_process({"sh", "-c", "ls /proc/$$/fd; true"}, 5s);
    ::close(leaked);
    std::set<std::string> seen;
    std::istringstream in(r.stdout_data);
    for (std::string fd; std::getline(in, fd);) seen.insert(fd);
    seen.erase("10");  // dash keeps its own descriptor there
    EXPECT_EQ(seen, (std::set<std::string>{"0", "1", "2"}));
}

TEST(RunProcess, ChildrenGetNoModelSettingsAndNoSecrets) {
    testsupport::ScopedEnv a("DROIDLENS_API_KEY", "sk-droidlens-secret-1");
    testsupport::ScopedEnv b("OPENAI_API_KEY", "sk-openai-secret-2");
    testsupport::ScopedEnv c("DROIDLENS_BASE_URL", "http://user:pw@host/v1");
    testsupport::ScopedEnv d("MY_TOOL_TOKEN", "prefix-sk-registered-secret-3-suffix");
    testsupport::ScopedEnv e("HARMLESS_SETTING", "kept");
    droidlens::secrets::add("sk-registered-secret-3");
    const auto r = run_process({"env"}, 5s);
    EXPECT_EQ(r.exit_code, 0);
    for (const char* gone : {"DROIDLENS_API_KEY", "OPENAI_API_KEY", "DROIDLENS_BASE_URL", "MY_TOOL_TOKEN", "secret"})
        EXPECT_EQ(r.stdout_data.find(gone), std::string::npos) << gone;
    EXPECT_NE(r.stdout_data.find("HARMLESS_SETTING=kept"), std::string::npos);
    EXPECT_NE(r.stdout_data.find("PATH="), std::string::npos);
}

// A host process that ignores SIGCHLD has its children reaped by the kernel, and one
// with a SIGCHLD handler may reap every child itself: exit statuses must survive both.
TEST(RunProcess, ExitStatusesSurviveWhateverTheHostDoesWithSigchld) {
    struct sigaction saved{};
    ::sigaction(SIGCHLD, nullptr, &saved);
    ::signal(SIGCHLD, SIG_IGN);
    EXPECT_EQ(run_process({"sh", "-c", "exit 3"}, 5s).exit_code, 3);
    EXPECT_EQ(run_process({"true"}, 5s).exit_code, 0);
    EXPECT_EQ(run_process({"sh", "-c", "echo hi"}, 5s).stdout_data, "hi\n");

    struct sigaction reaper{};
    reaper.sa_handler = [](int) {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    };
    ::sigaction(SIGCHLD, &reaper, nullptr);
    EXPECT_EQ(run_process({"sh", "-c", "exit 5"}, 5s).exit_code, 5);
    EXPECT_EQ(run_process({"sh", "-c", "kill -TERM $$"}, 5s).exit_code, 128 + 15);
    ::sigaction(SIGCHLD, &saved, nullptr);
}

TEST(RunProcess, EndlessOutputIsCappedAndTheChildStopped) {
    testsupport::TempDir dir;
    const std::string marker = dir.file("still-running");
    double took = seconds_of([&] {
        EXPECT_THROW_MSG(run_process({"yes"}, 30s), droidlens::ProcessError,
                         "Command '['yes']' printed more than 64 MiB of output; it was stopped");
    });
    EXPECT_LT(took, 10.0);
    // A small cap, on a child that prints to both streams.
    EXPECT_THROW_MSG(run_process({"sh", "-c", "while :; do echo x; echo y >&2; done"}, 30s, 1000),
                     droidlens::ProcessError,
                     "Command '['sh', '-c', 'while :; do echo x; echo y >&2; done']' printed more than 1000 bytes "
                     "of output; it was stopped");
    // Output up to the cap is fine.
    EXPECT_EQ(run_process({"head", "-c", "1000", "/dev/zero"}, 5s, 1000).stdout_data.size(), 1000u);
}

TEST(RunProcess, ACancelRequestStopsTheChildAndItsGroup) {
    testsupport::TempDir dir;
    const std::string marker = dir.file("survivor");
    std::thread canceller([] {
        std::this_thread::sleep_for(200ms);
        droidlens::cancel::request(SIGINT);
    });
    const double took = seconds_of([&] {
        EXPECT_THROW(run_process({"sh", "-c", "(sleep 1; touch " + marker + ") & sleep 30"}, 60s),
                     droidlens::CancelledError);
    });
    canceller.join();
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(droidlens::cancel::signal_number(), SIGINT);
    // Until reset, nothing new starts; afterwards work goes on as before.
    EXPECT_THROW(run_process({"true"}, 5s), droidlens::CancelledError);
    EXPECT_THROW(droidlens::cancel::sleep_for(10s), droidlens::CancelledError);
    droidlens::cancel::reset();
    EXPECT_EQ(run_process({"true"}, 5s).exit_code, 0);
    std::this_thread::sleep_for(1200ms);
    EXPECT_FALSE(std::filesystem::exists(marker)) << "a grandchild survived the cancellation";
}

TEST(RunProcess, ARunsOwnTokenStopsOnlyThatRunAndAShieldHoldsItBackWithoutClearingIt) {
    // Two runs on two threads, each waiting on a child: cancelling one run's token
    // stops its child only.
    auto first = droidlens::new_run_context();
    auto second = droidlens::new_run_context();
    std::atomic<bool> first_stopped{false}, second_stopped{false};
    auto wait_in = [](std::shared_ptr<droidlens::RunContext> run, std::atomic<bool>& stopped) {
        droidlens::ScopedRun scope(std::move(run));
        try {
            run_process({"sleep", "30"}, 60s);
        } catch (const droidlens::CancelledError&) {
            stopped = true;
        }
    };
    std::thread a(wait_in, first, std::ref(first_stopped));
    std::thread b(wait_in, second, std::ref(second_stopped));
    std::this_thread::sleep_for(300ms);
    first->cancel->cancel();
    a.join();
    EXPECT_TRUE(first_stopped);
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(second_stopped) << "cancelling one run stopped another";
    EXPECT_FALSE(droidlens::cancel::requested());  // this thread is in neither run
    second->cancel->cancel();
    b.join();
    EXPECT_TRUE(second_stopped);

    // Inside a cancelled run a shield lets one clean-up command run; the request is
    // still there afterwards.
    droidlens::ScopedRun scope(first);
    EXPECT_THROW(run_process({"true"}, 5s), droidlens::CancelledError);
    {
        droidlens::cancel::Shield shield;
        EXPECT_FALSE(droidlens::cancel::requested());
        EXPECT_EQ(run_process({"true"}, 5s).exit_code, 0);
    }
    EXPECT_THROW(droidlens::cancel::sleep_for(10s), droidlens::CancelledError);
}
