#include <droidlens/console.hpp>

#include <droidlens/run.hpp>

#include <iostream>
#include <mutex>
#include <string>

namespace droidlens {

namespace {
// Held while one line is written, so that the lines of runs on several threads
// never interleave within a line.
std::mutex g_console_mutex;
std::ostream* g_console = &std::cout;
}  // namespace

void console_line(std::string_view text) {
    if (const RunContext* run = current_run(); run != nullptr && run->console) {
        run->console(text);
        return;
    }
    std::string line(text);
    line += '\n';
    std::lock_guard<std::mutex> lock(g_console_mutex);
    g_console->write(line.data(), static_cast<std::streamsize>(line.size()));
    g_console->flush();
}

void set_console_stream(std::ostream& stream) {
    std::lock_guard<std::mutex> lock(g_console_mutex);
    g_console = &stream;
}

}  // namespace droidlens
