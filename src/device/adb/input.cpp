#include "device/adb/input.hpp"

#include <droidlens/cancel.hpp>
#include <droidlens/errors.hpp>

#include <chrono>
#include <cstdio>

#include "device/adb/device_text.hpp"
#include "device/adb/hostcall.hpp"
#include "utils/base64.hpp"
#include "utils/subprocess.hpp"
#include "utils/text.hpp"

namespace droidlens::adb {

namespace {

constexpr std::chrono::milliseconds kInputTimeout{10000};
// After a switch of input method the device starts the new one in the background;
// its broadcast receiver exists only once it runs, so text sent at once can be lost.
constexpr std::chrono::milliseconds kImeSettle{500};

std::string describe_char(unsigned char c) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%02X", c);
    return buf;
}

using text::char_index;

[[noreturn]] void throw_control_char(std::string_view text, std::size_t at, const char* how) {
    throw ValueError("cannot type control character " + describe_char(static_cast<unsigned char>(text[at])) +
                     " (character " + std::to_string(char_index(text, at)) + ") " + how);
}

bool is_untypeable_control(unsigned char c) { return (c < 0x20 && c != '\n' && c != '\t' && c != '\r') || c == 0x7F; }

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
        if (is_untypeable_control(c)) throw_control_char(text, i, "with adb input");
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
    proc::ProcessResult r = proc::run_process(argv, kInputTimeout);
    ShellOutcome outcome;
    outcome.error = find_error_line(r.exit_code, r.stdout_data, r.stderr_data);
    outcome.ok = outcome.error.empty();
    outcome.output = std::move(r.stdout_data);
    return outcome;
}

std::vector<ImeStep> ime_text_steps(std::string_view text) {
    std::vector<ImeStep> steps;
    std::string piece;
    auto flush = [&] {
        if (!piece.empty()) steps.push_back({false, std::move(piece)});
        piece.clear();
    };
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '\n' || c == '\r' || c == '\t') {
            flush();
            steps.push_back({true, c == '\t' ? "61" : "66"});
            i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;  // CRLF: one ENTER
            continue;
        }
        if (is_untypeable_control(static_cast<unsigned char>(c))) throw_control_char(text, i, "with the ADB Keyboard");
        const std::size_t len = text::utf8_sequence_length(text.substr(i));
        if (len == 0) {
            throw ValueError("cannot type text that is not valid UTF-8 (byte " + std::to_string(i) +
                             ") with the ADB Keyboard");
        }
        if (piece.size() + len > kImeChunkBytes) flush();
        piece.append(text.substr(i, len));
        i += len;
    }
    flush();
    return steps;
}

ImeTyping type_with_adb_keyboard(const InputTarget& target, const std::vector<ImeStep>& steps) {
    ImeTyping out;
    auto fail = [&](const std::string& what, const ShellOutcome& o) {
        out.status = ImeTyping::Status::Failed;
        out.error = what + ": " + o.error;
    };

    // Installed input methods, one id per line ("com.android.adbkeyboard/.AdbIME").
    const ShellOutcome list = run_shell(target, {"ime", "list", "-a", "-s"});
    if (!list.ok) {
        fail("cannot list the input methods", list);
        return out;
    }
    std::string ime_id;
    const std::string prefix = std::string(kAdbKeyboardPackage) + "/";
    for (std::size_t start = 0; start < list.output.size() && ime_id.empty();) {
        std::size_t end = list.output.find('\n', start);
        if (end == std::string::npos) end = list.output.size();
        const std::string line = trim(std::string_view(list.output).substr(start, end - start));
        if (line.rfind(prefix, 0) == 0) ime_id = line;
        start = end + 1;
    }
    if (ime_id.empty()) {
        out.status = ImeTyping::Status::NotInstalled;
        return out;
    }

    const ShellOutcome current = run_shell(target, {"settings", "get", "secure", "default_input_method"});
    if (!current.ok) {
        fail("cannot read the current input method", current);
        return out;
    }
    std::string previous = trim(current.output);
    if (previous == "null") previous.clear();  // never set: the system default is in use

    bool switched = false;
    auto switch_back = [&]() {
        return previous.empty() ? run_shell(target, {"ime", "reset"})
                                : run_shell(target, {"ime", "set", shell_quote(previous)});
    };
    try {
        out.status = ImeTyping::Status::Typed;
        if (previous != ime_id) {
            if (const ShellOutcome o = run_shell(target, {"ime", "enable", shell_quote(ime_id)}); !o.ok) {
                fail("cannot enable the ADB Keyboard", o);
                return out;
            }
            switched = true;
            if (const ShellOutcome o = run_shell(target, {"ime", "set", shell_quote(ime_id)}); !o.ok) {
                fail("cannot switch to the ADB Keyboard", o);
            } else {
                // `ime set` reports an unknown or refused id only in words; the setting tells.
                const ShellOutcome now = run_shell(target, {"settings", "get", "secure", "default_input_method"});
                if (!now.ok) {
                    fail("cannot read the current input method", now);
                } else if (trim(now.output) != ime_id) {
                    out.status = ImeTyping::Status::Failed;
                    out.error = "the device did not switch to the ADB Keyboard (the input method is still " +
                                detail::device_text(now.output) + ")";
                } else {
                    cancel::sleep_for(kImeSettle);
                }
            }
        }
        for (std::size_t k = 0; k < steps.size() && out.status == ImeTyping::Status::Typed; ++k) {
            const ImeStep& step = steps[k];
            const ShellOutcome o =
                step.is_key ? run_shell(target, input_words(target, {"keyevent", step.value}))
                            : run_shell(target, {"am", "broadcast", "-a", kAdbKeyboardBase64Action, "-p",
                                                 kAdbKeyboardPackage, "--es", "msg",
                                                 shell_quote(base64::encode(step.value))});
            if (!o.ok) {
                fail("typing stopped after " + std::to_string(k) + " of " + std::to_string(steps.size()) + " steps", o);
            }
        }
    } catch (...) {
        // A missing or hanging adb, or a cancel request: still try to give the user
        // their keyboard back.
        if (switched) {
            try {
                const cancel::Shield held;
                switch_back();
            } catch (...) {
            }
        }
        throw;
    }
    if (switched) {
        if (const ShellOutcome o = switch_back(); !o.ok) {
            out.restore_error = "cannot switch back to the previous input method " +
                                (previous.empty() ? std::string("(the system default)") : detail::device_text(previous)) +
                                ": " + o.error;
        }
    }
    return out;
}

}  // namespace droidlens::adb
