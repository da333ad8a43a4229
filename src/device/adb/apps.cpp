// The foreground app is read from the window manager's report. `dumpsys window
// displays` has one section per display ("Display: mDisplayId=N") with that display's
// mCurrentFocus (the focused window) and mFocusedApp (the activity that has focus).
// Before Android 10 focus was global and printed by `dumpsys window windows`, which is
// asked when the first report has no focus lines.
//
// The answer, in order of preference:
//   - the package of the focused window when its title names a component
//     (Window{1651cd4 u0 com.android.settings/.Settings} -> "com.android.settings");
//   - the focused window's own title when it is a system window without a package
//     ("NotificationShade", "StatusBar", "PopupWindow:1a2b3c"): that is what is in
//     front of the user, even while an app below keeps mFocusedApp;
//   - the package of mFocusedApp when no window has focus (app transitions);
//   - "unknown" when neither is known (screen off, nothing launched yet).
#include "device/adb/apps.hpp"
#include "utils/text.hpp"

#include "device/adb/device_text.hpp"
#include "device/adb/hostcall.hpp"

#include <droidlens/errors.hpp>

#include <chrono>
#include <map>
#include <string_view>
#include <vector>

namespace droidlens::adb {

namespace {

constexpr std::chrono::seconds kDumpsysTimeout{10};
constexpr const char* kWhat = "Reading the foreground app failed";
constexpr const char* kUnknownApp = "unknown";

// The focus lines of one display section, or of the report outside any section.
struct Focus {
    std::optional<std::string> current_focus;  // value after "mCurrentFocus="
    std::optional<std::string> focused_app;    // value after "mFocusedApp="
    bool empty() const { return !current_focus && !focused_app; }
};

struct WindowReport {
    std::map<std::int64_t, Focus> displays;
    std::vector<std::int64_t> order;  // display ids in report order
    Focus global;
    bool recognised = false;  // looked like a window manager report at all
};

using text::strip;

// The display id of a "Display: mDisplayId=N ..." header line.
std::optional<std::int64_t> section_id(std::string_view line) {
    constexpr std::string_view head = "Display: mDisplayId=";
    if (!line.starts_with(head)) return std::nullopt;
    line.remove_prefix(head.size());
    std::int64_t id = 0;
    size_t n = 0;
    while (n < line.size() && n < 12 && line[n] >= '0' && line[n] <= '9') id = id * 10 + (line[n++] - '0');
    if (n == 0) return std::nullopt;
    return id;
}

WindowReport parse_report(std::string_view text) {
    WindowReport report;
    Focus* scope = &report.global;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        const std::string_view line = strip(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);

        if (const auto id = section_id(line)) {
            if (!report.displays.count(*id)) report.order.push_back(*id);
            scope = &report.displays[*id];
            report.recognised = true;
        } else if (line.starts_with("WINDOW MANAGER ") || line.starts_with("-----")) {
            // A new part of a full dump: no longer inside a display's section.
            scope = &report.global;
            report.recognised = true;
        } else if (line.starts_with("mCurrentFocus=")) {
            if (!scope->current_focus) scope->current_focus = std::string(line.substr(14));
            report.recognised = true;
        } else if (line.starts_with("mFocusedApp=")) {
            if (!scope->focused_app) scope->focused_app = std::string(line.substr(12));
            report.recognised = true;
        }
    }
    return report;
}

// Words of the text inside the first "Name{...}" of `value`: {hash, [uN], rest...}.
// Returns the part after the hash and the optional user id, or nothing.
std::optional<std::string> record_body(std::string_view value, std::string_view name) {
    const size_t at = value.find(std::string(name) + "{");
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view body = value.substr(at + name.size() + 1);
    // The title may itself contain braces; the record closes at the last one.
    const size_t close = body.rfind('}');
    if (close != std::string_view::npos) body = body.substr(0, close);
    const size_t hash_end = body.find(' ');
    if (hash_end == std::string_view::npos) return std::nullopt;
    body = strip(body.substr(hash_end + 1));
    // Android 4.2 and later put the user ("u0", "u10") before the title.
    if (body.size() > 1 && body[0] == 'u' && body[1] >= '0' && body[1] <= '9') {
        size_t k = 1;
        while (k < body.size() && body[k] >= '0' && body[k] <= '9') ++k;
        if (k == body.size() || body[k] == ' ') body = strip(body.substr(k));
    }
    if (body.empty()) return std::nullopt;
    return std::string(body);
}

// The app named by the focus lines, or nothing.
std::optional<std::string> focus_app(const Focus& focus) {
    if (focus.current_focus) {
        if (const auto title = record_body(*focus.current_focus, "Window")) {
            const size_t slash = title->find('/');
            if (slash != std::string::npos && slash > 0 && title->find(' ') > slash) return title->substr(0, slash);
            return *title;
        }
    }
    if (focus.focused_app) {
        if (const auto body = record_body(*focus.focused_app, "ActivityRecord")) {
            const std::string component = body->substr(0, body->find(' '));
            const size_t slash = component.find('/');
            if (slash != std::string::npos && slash > 0) return component.substr(0, slash);
        }
    }
    return std::nullopt;
}

bool has_focus_lines(const WindowReport& r) {
    if (!r.global.empty()) return true;
    for (const auto& [id, f] : r.displays)
        if (!f.empty()) return true;
    return false;
}

}  // namespace

std::string get_current_app(const std::optional<std::string>& device_id, std::optional<std::int64_t> display_id) {
    auto run = [&](const char* part) {
        auto argv = adb_prefix(device_id);
        argv.insert(argv.end(), {"shell", "dumpsys", "window", part});
        return detail::run_adb(argv, kDumpsysTimeout, kWhat, device_id).stdout_data;
    };
    return current_app_from_reports(run("displays"), [&] { return run("windows"); }, display_id, device_id);
}

std::string current_app_from_reports(const std::string& first, const std::function<std::string()>& windows_report,
                                     std::optional<std::int64_t> display_id,
                                     const std::optional<std::string>& device_id) {
    WindowReport report = parse_report(first);
    if (!has_focus_lines(report)) {
        WindowReport older = parse_report(windows_report());
        if (has_focus_lines(older) || !report.recognised) report = std::move(older);
    }
    if (!report.recognised)
        throw DeviceError(detail::failure_prefix(kWhat, device_id) +
                           ": unexpected output of dumpsys window: " + detail::device_text(first));

    const Focus* focus = nullptr;
    if (display_id) {
        // A display the report has no section for (a virtual display, a report that
        // lists only some) takes the global focus: the app is information for the
        // model, not a reason to stop the run.
        if (const auto it = report.displays.find(*display_id); it != report.displays.end()) focus = &it->second;
        // A section without focus lines comes from a release where focus was global.
        if (!focus || focus->empty()) focus = &report.global;
    } else {
        // The default display, as the screenshot without a display id shows it.
        const auto main = report.displays.find(0);
        if (main != report.displays.end() && !main->second.empty()) focus = &main->second;
        else if (!report.global.empty()) focus = &report.global;
        else
            for (auto id : report.order)
                if (!report.displays[id].empty()) {
                    focus = &report.displays[id];
                    break;
                }
    }
    if (!focus) return kUnknownApp;
    return focus_app(*focus).value_or(kUnknownApp);
}

}  // namespace droidlens::adb
