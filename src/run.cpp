#include <droidlens/run.hpp>

#include <droidlens/errors.hpp>
#include <droidlens/events.hpp>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <sys/eventfd.h>
#include <unistd.h>

namespace droidlens {

CancelToken::CancelToken() {
    fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0) throw Error("Cannot create the cancellation event: errno " + std::to_string(errno));
}

CancelToken::~CancelToken() {
    if (fd_ >= 0) ::close(fd_);
}

void CancelToken::cancel(int signal_number) noexcept {
    signal_.store(signal_number);
    cancelled_.store(true);
    const std::uint64_t one = 1;
    const int saved = errno;  // a signal handler must leave errno as it found it
    [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
    errno = saved;
}

namespace {

thread_local RunContext* t_run = nullptr;
std::atomic<std::uint64_t> g_runs{0};

}  // namespace

std::shared_ptr<RunContext> new_run_context() {
    auto run = std::make_shared<RunContext>();
    run->run_id = "run-" + std::to_string(::getpid()) + "-" + std::to_string(++g_runs);
    run->cancel = std::make_shared<CancelToken>();
    run->observer = current_run_observer();
    if (t_run != nullptr) {
        run->console = t_run->console;
        run->adb_server = t_run->adb_server;
    }
    return run;
}

RunContext* current_run() noexcept { return t_run; }

ScopedRun::ScopedRun(std::shared_ptr<RunContext> run) noexcept : run_(std::move(run)), previous_(t_run) {
    t_run = run_.get();
}

ScopedRun::~ScopedRun() { t_run = previous_; }

RunContext& current_or_fresh_run(std::optional<ScopedRun>& scope) {
    if (RunContext* run = current_run()) return *run;
    auto fresh = new_run_context();
    RunContext& run = *fresh;
    scope.emplace(std::move(fresh));
    return run;
}

std::pair<std::string, std::string> parse_adb_server(const std::string& value) {
    auto fail = [&](const std::string& why) -> UsageError {
        return UsageError("Invalid adb server '" + value.substr(0, 200) + "': " + why + " (expected HOST:PORT)");
    };
    const std::size_t colon = value.rfind(':');
    if (colon == std::string::npos) throw fail("no port");
    std::string host = value.substr(0, colon);
    const std::string port = value.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        if (host.empty()) throw fail("empty host");
        for (char c : host)
            if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') throw fail("bad IPv6 address");
    } else {
        if (host.empty()) throw fail("empty host");
        if (host.find(':') != std::string::npos) throw fail("an IPv6 address must be written in brackets");
        for (char c : host) {
            const bool ok = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
            if (!ok) throw fail("bad host name");
        }
        if (host.front() == '-') throw fail("bad host name");
    }
    if (port.empty() || port.size() > 5) throw fail("bad port");
    for (char c : port)
        if (c < '0' || c > '9') throw fail("bad port");
    const int number = std::stoi(port);
    if (number < 1 || number > 65535) throw fail("port out of range");
    return {host, port};
}

std::optional<std::string> current_adb_server() {
    std::optional<std::string> server;
    if (t_run != nullptr && t_run->adb_server) server = t_run->adb_server;
    if (!server) {
        const char* env = std::getenv("DROIDLENS_ADB_SERVER");
        if (env != nullptr && *env != '\0') server = env;
    }
    if (server) parse_adb_server(*server);
    return server;
}

}  // namespace droidlens
