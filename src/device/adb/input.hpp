// Input events for one device and display over `adb shell input`: the command lines,
// the quoting of typed text for the device shell, and running them.
//
// adb joins the words after "shell" with blanks and the device runs the result through
// its shell, so every word that carries user text is single-quoted here; numbers and
// fixed words are safe as they are.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace droidlens::adb {

// The device (serial, or absent for the only one attached) and display (absent for
// the default one) that input goes to.
struct InputTarget {
    std::optional<std::string> device_id;
    std::optional<std::int64_t> display_id;
};

// `word` as one single-quoted word for a POSIX shell: every character stands for
// itself, a ' inside is written '\''.
std::string shell_quote(std::string_view word);

// How many characters of text one `input text` call types at most: longer text in
// one call loses characters on some devices.
inline constexpr std::size_t kTextPieceChars = 16;

// The `input` argument lists (the words after "input" and its display option) that
// type `text`, in order: {"text", "'quoted piece'"} for runs of printable ASCII, cut
// into pieces of at most kTextPieceChars characters, and {"keyevent", "66"} (ENTER) for
// each line break ("\n", "\r\n" or "\r") and {"keyevent", "61"} (TAB) for each tab.
// `input text` turns "%s" into a blank, so blanks are sent as "%s" and a literal "%"
// directly followed by a literal "s" is split into two pieces between them.
// Throws ValueError naming the first character that `input text` cannot type (non-ASCII
// or another control character), before any command is built, so callers can refuse
// the whole text without typing part of it.
std::vector<std::vector<std::string>> text_input_args(std::string_view text);

// The device-side words `input [-d DISPLAY] args...`, for composing a longer shell line.
std::vector<std::string> input_words(const InputTarget& target, const std::vector<std::string>& args);

// What one adb call reported: ok, or the error text adb or the device printed, and
// what the command printed on standard output.
struct ShellOutcome {
    bool ok = true;
    std::string error;
    std::string output;
};

// Runs `adb [-s SERIAL] shell words...` with a 10-second time-out. A non-zero exit, or
// output with an error line (adb's "error: ...", the device shell's "not found", a
// Java exception from `input`), gives ok false with that line as `error`; older adb
// versions exit 0 even when the device command failed, hence the look at the output.
// ProcessError (adb missing) and TimeoutError (adb hanging) propagate.
ShellOutcome run_shell(const InputTarget& target, const std::vector<std::string>& words);

// The first error line of an adb call's output, or empty when it reports none.
std::string find_error_line(int exit_code, std::string_view out, std::string_view err);

// Typing text that `input text` cannot type (anything beyond ASCII) goes through the
// open-source ADB Keyboard input method: droidlens switches the device to it, sends
// the text Base64-encoded in its broadcast and switches back to the previous input
// method afterwards.
inline constexpr const char* kAdbKeyboardPackage = "com.android.adbkeyboard";
inline constexpr const char* kAdbKeyboardIme = "com.android.adbkeyboard/.AdbIME";
// The broadcast that makes the ADB Keyboard commit text, with its UTF-8 text Base64
// in the extra "msg".
inline constexpr const char* kAdbKeyboardBase64Action = "ADB_INPUT_B64";
// At most this many bytes of UTF-8 text per broadcast: older adb versions cut shell
// command lines at 4096 bytes.
inline constexpr std::size_t kImeChunkBytes = 1500;

// One step of typing through the ADB Keyboard: text to commit, or a key event (ENTER
// for a line break, TAB for a tab, as `input text` typing does).
struct ImeStep {
    bool is_key = false;
    std::string value;  // UTF-8 text, or the key code
};

// The steps that type `text` through the ADB Keyboard, text cut at code points into
// pieces of at most kImeChunkBytes. Throws ValueError for text the keyboard would
// type garbled (bytes that are not UTF-8) or not at all (control characters other
// than line breaks and tabs), before anything is sent.
std::vector<ImeStep> ime_text_steps(std::string_view text);

// What typing through the ADB Keyboard gave.
struct ImeTyping {
    enum class Status {
        Typed,         // every step was sent
        NotInstalled,  // the device has no ADB Keyboard; nothing was sent
        Failed,        // a step failed (`error`); the steps before it were sent
    };
    Status status = Status::Failed;
    std::string error;
    std::string restore_error;  // non-empty when switching back failed
};

ImeTyping type_with_adb_keyboard(const InputTarget& target, const std::vector<ImeStep>& steps);

}  // namespace droidlens::adb
