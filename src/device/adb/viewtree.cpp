#include "device/adb/viewtree.hpp"

#include "device/adb/device_text.hpp"
#include "device/adb/devices.hpp"
#include "device/adb/hostcall.hpp"
#include "utils/subprocess.hpp"
#include "utils/text.hpp"

#include <droidlens/errors.hpp>

#include <cstdlib>
#include <exception>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace droidlens::adb {

namespace {

constexpr const char* kNeedAdb =
    "adb is required for nodepin mode. Install the Android platform tools and put adb on PATH.";
constexpr const char* kConnectFailed = "Failed to connect to device via uiautomator2";
constexpr const char* kDumpFailed = "Failed to dump UI hierarchy via uiautomator2";

constexpr std::chrono::seconds kStateTimeout{10};
constexpr std::chrono::seconds kReadTimeout{20};
constexpr std::chrono::seconds kCleanupTimeout{5};
// A window change in progress leaves uiautomator without a root node for a moment.
constexpr std::chrono::milliseconds kRetryPause{300};
// exec-out mixes the device's stderr into the file's bytes: a linker or property
// warning this long at most before the XML is skipped.
constexpr std::size_t kMaxLeadingText = 4096;

// Throws RuntimeError `outer` with `cause` nested as its cause.
template <class Cause>
[[noreturn]] void fail_because(const char* outer, const Cause& cause) {
    try {
        throw cause;
    } catch (...) {
        std::throw_with_nested(DeviceError(outer));
    }
}

std::vector<std::string> adb_words(const std::string& serial, std::initializer_list<std::string> words) {
    auto argv = adb_prefix(serial);
    argv.insert(argv.end(), words);
    return argv;
}

bool contains(std::string_view text, std::string_view what) { return text.find(what) != std::string_view::npos; }

// The XML in what exec-out read back: from its start, past any short warning text
// that the device printed first. Nothing when the output is not the file (cat's
// "No such file or directory").
std::optional<std::string_view> xml_part(std::string_view out) {
    std::size_t start = 0;
    if (out.substr(0, 3) == "\xEF\xBB\xBF") start = 3;
    while (start < out.size() && text::is_space(out[start])) ++start;
    if (start < out.size() && out[start] == '<') return out;
    const std::size_t decl = out.find("\n<?xml");
    if (decl != std::string_view::npos && decl < kMaxLeadingText) return out.substr(decl + 1);
    return std::nullopt;
}

// Whether the document is whole: the root element that the prolog leads to is closed
// at the end (a file cut off mid-write is not).
bool is_complete(std::string_view xml) {
    std::size_t i = 0;
    if (xml.substr(0, 3) == "\xEF\xBB\xBF") i = 3;
    // Prolog: declaration, processing instructions, comments, a document type.
    while (true) {
        while (i < xml.size() && text::is_space(xml[i])) ++i;
        if (xml.compare(i, 2, "<?") == 0) {
            const std::size_t e = xml.find("?>", i + 2);
            if (e == std::string_view::npos) return false;
            i = e + 2;
        } else if (xml.compare(i, 4, "<!--") == 0) {
            const std::size_t e = xml.find("-->", i + 4);
            if (e == std::string_view::npos) return false;
            i = e + 3;
        } else if (xml.compare(i, 2, "<!") == 0) {
            const std::size_t e = xml.find('>', i + 2);
            if (e == std::string_view::npos) return false;
            i = e + 1;
        } else {
            break;
        }
    }
    if (i >= xml.size() || xml[i] != '<') return false;
    std::size_t name_end = i + 1;
    while (name_end < xml.size() && !text::is_space(xml[name_end]) && xml[name_end] != '>' && xml[name_end] != '/')
        ++name_end;
    const std::string_view name = xml.substr(i + 1, name_end - i - 1);
    if (name.empty()) return false;

    const std::string_view body = text::strip(xml);
    // The root's start tag, quoted attribute values skipped.
    char quote = 0;
    std::size_t k = name_end;
    for (; k < xml.size(); ++k) {
        const char c = xml[k];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            break;
        }
    }
    if (k >= xml.size()) return false;
    if (xml[k - 1] == '/') return text::strip(xml.substr(k + 1)).empty();  // <hierarchy rotation="0"/>

    // ... </hierarchy> at the very end (blanks allowed before the '>').
    if (body.empty() || body.back() != '>') return false;
    std::string_view rest = text::strip(body.substr(0, body.size() - 1));
    if (rest.size() < name.size() + 2 || rest.substr(rest.size() - name.size()) != name) return false;
    rest.remove_suffix(name.size());
    return rest.substr(rest.size() - 2) == "</";
}

// Runs one adb command for the dump; a missing adb or a time-out becomes a dump failure
// that says so.
proc::ProcessResult run_step(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                             const std::string& serial, const char* what) {
    try {
        return proc::run_process(argv, timeout);
    } catch (const TimeoutError&) {
        const long long ms = timeout.count();
        const std::string limit = ms % 1000 == 0 ? std::to_string(ms / 1000) + " seconds" : std::to_string(ms) + " ms";
        std::throw_with_nested(TimeoutError(std::string(what) + " on device '" + serial + "' did not finish within " +
                                            limit + "; the device may be busy or its screen never idle"));
    }
}

void remove_dump_file(const std::string& serial, const std::string& path) {
    try {
        proc::run_process(adb_words(serial, {"shell", "rm -f " + path}), kCleanupTimeout);
    } catch (const std::exception&) {
        // Best effort: the device is gone or hangs; the file name is this process's own,
        // so a later run never reads it as its dump.
    }
}

enum class Outcome { kDone, kNullRoot };

struct Attempt {
    Outcome outcome = Outcome::kDone;
    std::string xml;
};

Attempt dump_once(const std::string& serial, const std::string& path, std::chrono::milliseconds timeout) {
    // Removed first: a file left by an earlier run must never be read back as this dump.
    proc::ProcessResult dumped;
    try {
        dumped = run_step(adb_words(serial, {"shell", "rm -f " + path + "; uiautomator dump " + path}), timeout,
                          serial, "uiautomator dump");
    } catch (...) {
        remove_dump_file(serial, path);
        throw;
    }
    proc::ProcessResult read;
    try {
        // One word: exec-out quotes every word after the first, so a separate ";"
        // would reach cat as a file name instead of ending its command.
        read = run_step(adb_words(serial, {"exec-out", "cat " + path + "; rm -f " + path}), kReadTimeout, serial,
                        "Reading the dump back");
    } catch (...) {
        remove_dump_file(serial, path);
        throw;
    }

    // Some vendor builds exit non-zero (or print an exception) after writing the whole
    // file: a complete document is the dump whatever the exit status said.
    const auto xml = xml_part(read.stdout_data);
    if (xml && is_complete(*xml)) return {Outcome::kDone, std::string(*xml)};

    const std::string said = dumped.stdout_data + "\n" + dumped.stderr_data;
    if (contains(said, "could not get idle state"))
        throw DeviceError("uiautomator could not get an idle state on device '" + serial +
                           "': the screen kept changing (an animation, a video, a live wallpaper) and uiautomator "
                           "gave up waiting after about 10 seconds; stop the animation or turn off the animation "
                           "scales in the developer options, then retry");
    if (contains(said, "null root node")) return {Outcome::kNullRoot, {}};
    if (xml)
        throw DeviceError("the dump read back from device '" + serial + "' is incomplete (" +
                           std::to_string(xml->size()) + " bytes, its root element is not closed)");
    std::string why = detail::device_text(said);
    if (why == "no output") why = detail::device_text(read.stdout_data);
    throw DeviceError("uiautomator dump on device '" + serial + "' wrote no dump (exit status " +
                       std::to_string(dumped.exit_code) + "): " + why);
}

}  // namespace

std::string _dump_file_path() {
    return "/data/local/tmp/droidlens_window_dump_" + std::to_string(::getpid()) + ".xml";
}

std::string dump_viewtree(const std::optional<std::string>& device_id, std::chrono::milliseconds dump_timeout) {
    if (!proc::on_path("adb")) fail_because(kNeedAdb, ProcessError("adb was not found on PATH"));

    const std::string serial = _select_device(device_id);

    try {
        const auto state = proc::run_process(adb_words(serial, {"get-state"}), kStateTimeout);
        const std::string_view answer = text::strip(state.stdout_data);
        if (state.exit_code != 0 || answer != "device") {
            std::string why = detail::device_text(state.stderr_data);
            if (why == "no output") why = "device is in state '" + detail::device_text(answer) + "'";
            throw DeviceError("adb get-state on device '" + serial + "': " + why);
        }
    } catch (const Error&) {
        std::throw_with_nested(DeviceError(kConnectFailed));
    }

    // One dump at a time per process: the file name is the process's own, and a device
    // serves one UI automation session at a time anyway.
    static std::mutex one_at_a_time;
    const std::lock_guard<std::mutex> lock(one_at_a_time);
    const std::string path = _dump_file_path();
    try {
        Attempt attempt = dump_once(serial, path, dump_timeout);
        if (attempt.outcome == Outcome::kNullRoot) {
            std::this_thread::sleep_for(kRetryPause);
            attempt = dump_once(serial, path, dump_timeout);
        }
        if (attempt.outcome == Outcome::kNullRoot)
            throw DeviceError("uiautomator found no window to dump on device '" + serial +
                               "' (null root node), twice; the screen may be off or changing windows");
        return std::move(attempt.xml);
    } catch (const Error&) {
        std::throw_with_nested(DeviceError(kDumpFailed));
    }
}

}  // namespace droidlens::adb
