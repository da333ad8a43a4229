// fake_chat_server: the scripted chat-completions server as a program, for end-to-end
// runs of the droidlens command.
//
//   fake_chat_server --script FILE [--log FILE] [--port N]
//
// FILE holds a JSON array of replies, answered in order:
//   {"status": 200, "body": <JSON value> | "body_text": "...", "content_type": "...",
//    "headers": {"Retry-After": "1"}, "delay_ms": 0, "close_connection": false}
// The first line on standard output is "PORT <n>". The server runs until SIGTERM or
// SIGINT, or until its standard input reaches end of file (so keep a pipe open to it;
// /dev/null ends it at once). With --log, each request is appended to the log as one
// JSON line {"method", "path", "headers", "body"}, where "body" is the parsed JSON
// body, or the raw text when the body is not JSON.
#include "fakes/chat_server.hpp"

#include <droidlens/json.hpp>

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

int usage(const std::string& problem) {
    std::cerr << "fake_chat_server: " << problem << "\n"
              << "usage: fake_chat_server --script FILE [--log FILE] [--port N]\n";
    return 2;
}

// Waits for SIGTERM/SIGINT or end of file on standard input.
void wait_for_end() {
    char buffer[256];
    while (!g_stop) {
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        int n = ::poll(&pfd, 1, 200);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (n == 0) continue;
        ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got == 0) return;
        if (got < 0 && errno != EINTR && errno != EAGAIN) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string script_path, log_path;
    int port = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--script" || arg == "--log" || arg == "--port") && i + 1 >= argc)
            return usage(arg + " needs a value");
        if (arg == "--script") {
            script_path = argv[++i];
        } else if (arg == "--log") {
            log_path = argv[++i];
        } else if (arg == "--port") {
            try {
                port = std::stoi(argv[++i]);
            } catch (const std::exception&) {
                return usage(std::string("bad port: ") + argv[i]);
            }
        } else if (arg == "--help" || arg == "-h") {
            usage("scripted chat-completions server for tests");
            return 0;
        } else {
            return usage("unknown argument: " + arg);
        }
    }
    if (script_path.empty()) return usage("--script is required");

    droidlens::Json script;
    try {
        std::ifstream in(script_path, std::ios::binary);
        if (!in) return usage("cannot read script: " + script_path);
        std::stringstream text;
        text << in.rdbuf();
        script = droidlens::Json::parse(text.str());
        if (!script.is_array()) throw std::runtime_error("the script must be a JSON array");
    } catch (const std::exception& e) {
        return usage("bad script " + script_path + ": " + e.what());
    }

    std::ofstream log;
    std::mutex log_mutex;
    if (!log_path.empty()) {
        log.open(log_path, std::ios::binary | std::ios::app);
        if (!log) return usage("cannot open log: " + log_path);
    }

    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);

    try {
        auto observer = [&](const fakes::RecordedRequest& r) {
            if (!log.is_open()) return;
            droidlens::Json line = {{"method", r.method},
                                    {"path", r.path},
                                    {"headers", r.headers},
                                    {"body", r.json ? *r.json : droidlens::Json(r.body)}};
            std::lock_guard<std::mutex> lock(log_mutex);
            log << droidlens::dump_json(line) << '\n';
            log.flush();
        };
        fakes::FakeChatServer server(port, observer);
        for (const auto& entry : script) server.enqueue(fakes::reply_from_json(entry));
        std::cout << "PORT " << server.port() << std::endl;
        wait_for_end();
        server.stop();
    } catch (const std::exception& e) {
        std::cerr << "fake_chat_server: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
