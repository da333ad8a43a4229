#include "device/adb/hostcall.hpp"

#include <droidlens/run.hpp>

namespace droidlens::adb {

std::vector<std::string> adb_command(const std::string& adb_path) {
    std::vector<std::string> argv = {adb_path};
    if (const std::optional<std::string> server = current_adb_server()) {
        const auto [host, port] = parse_adb_server(*server);
        argv.insert(argv.end(), {"-H", host, "-P", port});
    }
    return argv;
}

std::vector<std::string> adb_prefix(const std::optional<std::string>& device_id) {
    std::vector<std::string> argv = adb_command();
    if (device_id && !device_id->empty()) argv.insert(argv.end(), {"-s", *device_id});
    return argv;
}

}  // namespace droidlens::adb
