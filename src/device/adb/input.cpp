#include "device/adb/input.hpp"

#include <droidlens/errors.hpp>

#include <chrono>
#include <cstdio>

#include "device/adb/device_text.hpp"
#include "device/adb/hostcall.hpp"
#include "utils/text.hpp"
#include "utils/subprocess.hpp"

namespace droidlens::adb {

namespace {

constexpr std::chrono::milliseconds kInputTimeout{10000};


std::string describe_char(unsigned char c) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", c);
    return buf;
}

using text::char_index;

// Appends the pieces that type one run of printable ASCII characters.
void add_text_run(std::string_view run, std::vector<std::vector<std::string>>& out) {
    std::string piece;
    std::size_t chars = 0;
    bool last_literal_percent = false;
    auto flush = [&] {
        if (chars == 0) return;
        out.push_back({"text", shell_quote(piece)});
        piece.clear();
        chars = 0;
        last_literal_percent = false;
    };
    for (char c : run) {
        // A literal "%" then "s" in one piece would be read as an encoded blank.
        if (chars == kTextPieceChars || (c == 's' && last_literal_percent)) flush();
        if (c == ' ') {
            piece += "%s";
            last_literal_percent = false;
        } else {
            piece += c;
            last_literal_percent = (c == '%');
        }
        ++chars;
    }
    flush();
}

using text::trim;

bool starts_with_ci(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char a = s[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (a != prefix[i]) return false;
    }
    return true;
}

bool is_error_line(std::string_view line) {
    return starts_with_ci(line, "error") || line.find("Exception") != std::string_view::npos ||
           line.find("inaccessible or not found") != std::string_view::npos ||
           line.find(": not found") != std::string_view::npos;
}

std::string first_line_matching(std::string_view text, bool any) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string line = trim(text.substr(start, end - start));
        if (!line.empty() && (any || is_error_line(line))) return line;
        start = end + 1;
    }
    return {};
}

}  // namespace

std::string shell_quote(std::string_view word) {
    std::string out = "'";
    for (char c : word) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    out += '\'';
    return out;
}

std::vector<std::vector<std::string>> text_input_args(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            throw ValueError("cannot type non-ASCII text with adb input (character " +
                             std::to_string(char_index(text, i)) + "); only ASCII text can be typed");
        }
        if ((c < 0x20 && c != '\n' && c != '\t' && c != '\r') || c == 0x7F) {
            throw ValueError("cannot type control character " + describe_char(c) + " (character " +
                             std::to_string(char_index(text, i)) + ") with adb input");
        }
    }
    std::vector<std::vector<std::string>> out;
    std::size_t run_start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '\n' && text[i] != '\r' && text[i] != '\t') continue;
        add_text_run(text.substr(run_start, i - run_start), out);
        if (i < text.size()) {
            if (text[i] == '\t') {
                out.push_back({"keyevent", "61"});
            } else {
                out.push_back({"keyevent", "66"});
                if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;  // CRLF: one ENTER
            }
        }
        run_start = i + 1;
    }
    return out;
}

std::vector<std::string> input_words(const InputTarget& target, const std::vector<std::string>& args) {
    std::vector<std::string> words{"input"};
    if (target.display_id) {
        words.push_back("-d");
        words.push_back(std::to_string(*target.display_id));
    }
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

std::string find_error_line(int exit_code, std::string_view out, std::string_view err) {
    std::string line = first_line_matching(err, false);
    if (line.empty()) line = first_line_matching(out, false);
    if (line.empty() && exit_code != 0) {
        line = first_line_matching(err, true);
        if (line.empty()) line = first_line_matching(out, true);
        if (line.empty()) line = "adb exited with status " + std::to_string(exit_code);
    }
    // Quoted back to the model: made printable and short the same way as the other
    // device services' errors.
    return line.empty() ? line : detail::device_text(line);
}

ShellOutcome run_shell(const InputTarget& target, const std::vector<std::string>& words) {
    std::vector<std::string> argv = adb_prefix(target.device_id);
    argv.push_back("shell");
    argv.insert(argv.end(), words.begin(), words.end());
    const proc::ProcessResult r = proc::run_process(argv, kInputTimeout);
    ShellOutcome outcome;
    outcome.error = find_error_line(r.exit_code, r.stdout_data, r.stderr_data);
    outcome.ok = outcome.error.empty();
    return outcome;
}

}  // namespace droidlens::adb
