#include <droidlens/console.hpp>

#include <iostream>
#include <string>

namespace droidlens {

namespace {
std::ostream* g_console = &std::cout;
}

void console_line(std::string_view text) {
    std::string line(text);
    line += '\n';
    g_console->write(line.data(), static_cast<std::streamsize>(line.size()));
    g_console->flush();
}

void set_console_stream(std::ostream& stream) { g_console = &stream; }

}  // namespace droidlens
