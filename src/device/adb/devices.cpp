#include "device/adb/devices.hpp"
#include "utils/text.hpp"

#include "device/adb/hostcall.hpp"
#include "utils/subprocess.hpp"

#include <droidlens/console.hpp>
#include <droidlens/errors.hpp>

#include <chrono>
#include <cstdio>

namespace droidlens::adb {

namespace {

constexpr std::chrono::seconds kListTimeout{5};

// White space as the device listing is split: blanks, tabs, line breaks and the
// other ASCII separators.
using text::is_space;
using text::strip;

std::vector<std::string> split_blanks(std::string_view s) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && is_space(s[i])) ++i;
        const size_t start = i;
        while (i < s.size() && !is_space(s[i])) ++i;
        if (i > start) parts.emplace_back(s.substr(start, i - start));
    }
    return parts;
}

// Throws ValueError when `s` is not valid UTF-8: device serials end up in JSON
// records, which must carry text. The message reads like a UTF-8 decoder's.
void check_utf8(const std::string& s) {
    const size_t i = text::find_invalid_utf8(s);
    if (i == std::string::npos) return;
    const auto c = static_cast<unsigned char>(s[i]);
    const size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
    const char* reason = len == 0 || (len == 2 && c < 0xc2) || c > 0xf4 ? "invalid start byte"
                         : i + len > s.size()                          ? "unexpected end of data"
                                                                        : "invalid continuation byte";
    char buf[128];
    std::snprintf(buf, sizeof buf, "'utf-8' codec can't decode byte 0x%02x in position %zu: %s", c, i, reason);
    throw ValueError(buf);
}

}  // namespace

const char* to_string(ConnectionType type) { return type == ConnectionType::REMOTE ? "remote" : "usb"; }

ADBConnection::ADBConnection(std::string adb_path) : adb_path_(std::move(adb_path)) {}

std::vector<DeviceInfo> parse_device_list(const std::string& output) {
    std::vector<DeviceInfo> devices;
    const std::string_view text = strip(output);
    // The first line is the tool's header ("List of devices attached").
    size_t pos = text.find('\n');
    if (pos == std::string_view::npos) return devices;
    while (pos != std::string_view::npos) {
        const size_t start = pos + 1;
        pos = text.find('\n', start);
        const std::string_view line =
            strip(text.substr(start, pos == std::string_view::npos ? std::string_view::npos : pos - start));
        if (line.empty()) continue;
        const auto parts = split_blanks(line);
        if (parts.size() < 2) continue;
        DeviceInfo info;
        info.device_id = parts[0];
        info.status = parts[1];
        info.connection_type =
            info.device_id.find(':') != std::string::npos ? ConnectionType::REMOTE : ConnectionType::USB;
        for (size_t i = 2; i < parts.size(); ++i) {
            if (parts[i].rfind("model:", 0) == 0) {
                info.model = parts[i].substr(6);
                break;
            }
        }
        devices.push_back(std::move(info));
    }
    return devices;
}

DeviceListing list_devices_explained(const std::string& adb_path) {
    DeviceListing out;
    try {
        if (!proc::on_path(adb_path)) {
            out.problem = adb_path + " was not found on PATH; install the Android platform tools";
            console_line("Error listing devices: " + out.problem);
            return out;
        }
        std::vector<std::string> argv = adb_command(adb_path);
        argv.insert(argv.end(), {"devices", "-l"});
        const auto result = proc::run_process(argv, kListTimeout);
        check_utf8(result.stdout_data);
        out.devices = parse_device_list(result.stdout_data);
        // A failing adb (no server, no permission) usually prints nothing on stdout;
        // say so on the console, or the caller would see a plain "no devices".
        if (result.exit_code != 0) {
            std::string why(strip(result.stderr_data).substr(0, 300));
            out.problem = adb_path + " exited with status " + std::to_string(result.exit_code) +
                          (why.empty() ? "" : ": " + why);
            console_line("Error listing devices: " + out.problem);
        }
        return out;
    } catch (const CancelledError&) {
        throw;  // the user stopped the run: that is not "no devices"
    } catch (const UsageError&) {
        throw;  // a malformed adb server: the user's mistake, not "no devices"
    } catch (const std::exception& e) {
        out.problem = e.what();
    } catch (...) {
        out.problem = "unknown error";
    }
    console_line("Error listing devices: " + out.problem);
    out.devices.clear();
    return out;
}

std::vector<DeviceInfo> ADBConnection::list_devices() const { return list_devices_explained(adb_path_).devices; }

std::vector<DeviceInfo> list_devices() { return ADBConnection().list_devices(); }

}  // namespace droidlens::adb
