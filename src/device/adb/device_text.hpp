// Running one adb command for a device service and quoting what the device said when
// it fails. Internal to the device services (screenshot, foreground app).
#pragma once

#include "utils/subprocess.hpp"
#include "utils/text.hpp"

#include <droidlens/errors.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace droidlens::adb::detail {

// Output of a device or of adb made fit for an error message: surrounding blanks
// removed, runs of white space and control characters collapsed to one blank, bytes
// that are not UTF-8 shown as '?', cut to about 200 characters. Binary output is
// described by its size instead.
inline std::string device_text(std::string_view bytes) {
    constexpr size_t kMax = 200;
    size_t controls = 0;
    for (unsigned char c : bytes)
        if (c == 0 || (c < 0x20 && c != '\n' && c != '\r' && c != '\t')) ++controls;
    if (controls > 0 && controls * 20 > bytes.size())
        return std::to_string(bytes.size()) + " bytes of binary output";

    std::string out;
    bool blank = false;
    size_t i = 0;
    while (i < bytes.size() && out.size() < kMax) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c <= 0x20 || c == 0x7f) {
            blank = !out.empty();
            ++i;
            continue;
        }
        if (blank) out += ' ';
        blank = false;
        const size_t len = text::utf8_sequence_length(bytes.substr(i));
        if (len > 0) out.append(bytes.substr(i, len));
        else out += '?';
        i += len > 0 ? len : 1;
    }
    if (i < bytes.size()) {
        // Cut at the limit; say so unless only blanks were left.
        bool rest = false;
        for (size_t k = i; k < bytes.size() && !rest; ++k) rest = static_cast<unsigned char>(bytes[k]) > 0x20;
        if (rest) out += "...";
    }
    return out.empty() ? "no output" : out;
}

// "Screenshot failed on device 'X'" or "Screenshot failed" when no device is named.
inline std::string failure_prefix(const std::string& what, const std::optional<std::string>& device_id) {
    if (device_id && !device_id->empty()) return what + " on device '" + *device_id + "'";
    return what;
}

// Runs an adb command line. A non-zero exit (device not found, unauthorized, offline,
// no adb server) throws DeviceError "<what>[ on device 'X']: <adb's error text>";
// a missing adb or a time-out keeps the runner's ProcessError / TimeoutError.
inline proc::ProcessResult run_adb(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                                   const std::string& what, const std::optional<std::string>& device_id) {
    auto result = proc::run_process(argv, timeout);
    if (result.exit_code != 0) {
        std::string why = device_text(result.stderr_data);
        if (why == "no output") why = device_text(result.stdout_data);
        if (why == "no output") why = "adb exited with status " + std::to_string(result.exit_code);
        throw DeviceError(failure_prefix(what, device_id) + ": " + why);
    }
    return result;
}

}  // namespace droidlens::adb::detail
