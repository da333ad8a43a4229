// FakeAdb: a fresh fixture directory served by the simulated adb server
// (tests/fakes/adb_server.py) for the lifetime of the object; the real adb client
// reaches it through ADB_SERVER_SOCKET. See tests/fakes/README.md.
#pragma once

#include "fakes/adb_server_process.hpp"
#include "test_support.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A valid PNG of the given size (8-bit grey, every pixel `grey`), made without an
// image library: stored deflate blocks, real CRCs and Adler-32.
inline std::string tiny_png(std::uint32_t width, std::uint32_t height, unsigned char grey = 0x80) {
    auto crc32 = [](const std::string& data) {
        std::uint32_t c = 0xffffffffu;
        for (unsigned char b : data) {
            c ^= b;
            for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
        }
        return c ^ 0xffffffffu;
    };
    auto be32 = [](std::uint32_t v) {
        return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    };
    auto chunk = [&](const std::string& type, const std::string& data) {
        return be32(static_cast<std::uint32_t>(data.size())) + type + data + be32(crc32(type + data));
    };
    std::string raw;
    for (std::uint32_t y = 0; y < height; ++y) raw += '\0' + std::string(width, static_cast<char>(grey));
    std::string z = "\x78\x01";
    for (size_t at = 0; at == 0 || at < raw.size(); at += 65535) {
        const size_t n = std::min<size_t>(65535, raw.size() - at);
        z += static_cast<char>(at + n >= raw.size() ? 1 : 0);
        z += {char(n & 0xff), char(n >> 8), char(~n & 0xff), char((~n >> 8) & 0xff)};
        z += raw.substr(at, n);
    }
    std::uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    z += be32((b << 16) | a);
    const std::string ihdr = be32(width) + be32(height) + std::string{8, 0, 0, 0, 0};
    return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", z) + chunk("IEND", "");
}

class FakeAdb {
public:
    static constexpr const char* kHeader = "List of devices attached\n";
    // The server's reason for refusing an unauthorized device (four lines), as one
    // line: its line breaks become blanks in the error messages that quote it.
    static constexpr const char* kUnauthorized =
        "device unauthorized. This adb server's $ADB_VENDOR_KEYS is not set Try 'adb kill-server' if that seems "
        "wrong. Otherwise check for a confirmation dialog on your device.";

    // Selects the stand-in for the adb client itself (tests/fakes/adb, a bash
    // program first on PATH) instead of the real client and the simulated server:
    // only for tests of a client that misbehaves on its own side (one that leaves a
    // child holding its output open, for one). Its knobs are environment variables.
    struct BrokenClient {};

    FakeAdb() : root_(tmp_.path() / "adb") {
        stdfs::create_directories(root_ / "knobs");
        set_devices(kHeader + std::string("\n"));
        clear_environment();
        server_ = std::make_unique<AdbServerProcess>(fakes_dir(), root_.string());
        // The socket wins over the port; both name the same server.
        env_.push_back(std::make_unique<ScopedEnv>("ADB_SERVER_SOCKET", server_->socket_spec()));
        env_.push_back(std::make_unique<ScopedEnv>("ANDROID_ADB_SERVER_PORT", std::to_string(server_->port())));
    }

    explicit FakeAdb(BrokenClient) : root_(tmp_.path() / "adb") {
        stdfs::create_directories(root_);
        set_devices(kHeader + std::string("\n"));
        clear_environment();
        const char* path = std::getenv("PATH");
        env_.push_back(std::make_unique<ScopedEnv>("PATH", fakes_dir() + ":" + (path ? path : "/usr/bin:/bin")));
        env_.push_back(std::make_unique<ScopedEnv>("FAKE_ADB_ROOT", root_.string()));
    }

    ~FakeAdb() {
        if (!server_) return;
        // The server only ends when its pipe closes: an earlier end is a fault of the
        // server (or something killed it), and every answer after it was not ours.
        if (auto how = server_->ended())
            ADD_FAILURE() << "the simulated adb server died during the test (" << *how
                          << "); its traceback, if any, is on standard error";
        server_->stop();
    }
    FakeAdb(const FakeAdb&) = delete;
    FakeAdb& operator=(const FakeAdb&) = delete;

    std::string root() const { return root_.string(); }
    std::string device_dir(const std::string& serial) const { return (root_ / serial).string(); }

    // The text `adb devices [-l]` prints, verbatim.
    void set_devices(const std::string& text) {
        devices_.clear();
        write_text(root_ / "devices.txt", text);
    }

    // Adds one device line in the format of `adb devices -l` (and rewrites devices.txt).
    void add_device(const std::string& serial, const std::string& state = "device",
                    const std::optional<std::string>& model = std::nullopt) {
        std::string line = serial;
        line.resize(std::max<size_t>(line.size(), 22), ' ');
        line += " " + state;
        if (state == "device") line += " product:fake" + std::string(model ? " model:" + *model : "") + " device:fake";
        line += " transport_id:" + std::to_string(devices_.size() + 1);
        devices_.push_back(line);
        std::string text = kHeader;
        for (const auto& l : devices_) text += l + "\n";
        write_text(root_ / "devices.txt", text + "\n");
    }

    // What `screencap -p` prints on the default display, or with `-d display`.
    void set_screencap(const std::string& serial, const std::string& png_bytes,
                       std::optional<std::int64_t> display = std::nullopt) {
        set_file(serial, screencap_name(display), png_bytes);
    }
    void set_screencap_from(const std::string& serial, const std::string& png_path,
                            std::optional<std::int64_t> display = std::nullopt) {
        set_screencap(serial, read_text(png_path), display);
    }

    // Any file of a device directory (dumpsys_window.txt, window_dump.xml, ...).
    void set_file(const std::string& serial, const std::string& name, const std::string& data) {
        write_text(root_ / serial / name, data);
    }

    // Lines of <serial>/NAME.log: the input (or am, ime, wm, settings) commands the
    // device shell ran, as "input tap 540 1200".
    std::vector<std::string> device_log(const std::string& serial, const std::string& name) const {
        return lines(root_ / serial / (name + ".log"));
    }
    std::vector<std::string> input_log(const std::string& serial) const { return device_log(serial, "input"); }

    // The files left on the device's storage, as device paths ("/data/local/tmp/x.xml").
    std::vector<std::string> device_files(const std::string& serial) const {
        std::vector<std::string> out;
        const stdfs::path dir = root_ / serial / "files";
        std::error_code ec;
        for (auto it = stdfs::recursive_directory_iterator(dir, ec); !ec && it != stdfs::recursive_directory_iterator();
             it.increment(ec))
            if (it->is_regular_file()) out.push_back("/" + stdfs::relative(it->path(), dir).string());
        std::sort(out.begin(), out.end());
        return out;
    }

    // One line per request the server served ("devices -l", "-s SER1 shell input tap
    // 1 2", "-s SER1 exec-out screencap '-p'": the command as the client sent it).
    std::vector<std::string> adb_log() const { return lines(root_ / "adb.log"); }

    // How many adb client processes talking to this fixture's server are alive (a
    // client waits as long as its request hangs).
    int clients_running() const {
        if (!server_) return 0;
        const std::string want = "ADB_SERVER_SOCKET=" + server_->socket_spec();
        int n = 0;
        std::error_code ec;
        for (stdfs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
            const std::string cmdline = read_text(it->path() / "cmdline");
            if (stdfs::path(cmdline.substr(0, cmdline.find('\0'))).filename() != "adb") continue;
            std::istringstream environ(read_text(it->path() / "environ"));
            for (std::string entry; std::getline(environ, entry, '\0');)
                if (entry == want) {
                    ++n;
                    break;
                }
        }
        return n;
    }

    // Sets knob FAKE_ADB_<NAME> (name given with or without the prefix; other FAKE_
    // names such as FAKE_UIAUTOMATOR as they are): the file knobs/<full name>, read by
    // the server on every request (an empty value clears it). With BrokenClient, the
    // environment variable until destruction.
    void set_knob(const std::string& name, const std::string& value) {
        const std::string full = name.rfind("FAKE_", 0) == 0 ? name : "FAKE_ADB_" + name;
        if (server_) write_text(root_ / "knobs" / full, value);
        else env_.push_back(std::make_unique<ScopedEnv>(full, value));
    }

private:
    static std::string screencap_name(std::optional<std::int64_t> display) {
        return display ? "screencap_d" + std::to_string(*display) + ".png" : "screencap.png";
    }

    static std::vector<std::string> lines(const stdfs::path& p) {
        std::vector<std::string> out;
        std::istringstream in(read_text(p));
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }

    // Nothing of the caller's reaches the simulated device: no knob variables, no
    // server address of another fixture (a test without a fixture gets the guard of
    // tests/CMakeLists.txt instead).
    void clear_environment() {
        for (const char* name : {"FAKE_ADB_HANG", "FAKE_ADB_EXIT", "FAKE_ADB_GARBAGE", "FAKE_ADB_ONLY",
                                 "FAKE_ADB_VANISH_AFTER", "FAKE_UIAUTOMATOR", "FAKE_ADB_ROOT"})
            env_.push_back(std::make_unique<ScopedEnv>(name, std::nullopt));
    }

    TempDir tmp_;
    stdfs::path root_;
    std::unique_ptr<AdbServerProcess> server_;
    std::vector<std::string> devices_;
    // Destroyed in reverse order, so a knob set twice is restored correctly.
    struct EnvStack {
        std::vector<std::unique_ptr<ScopedEnv>> v;
        void push_back(std::unique_ptr<ScopedEnv> e) { v.push_back(std::move(e)); }
        ~EnvStack() {
            while (!v.empty()) v.pop_back();
        }
    } env_;
};

}  // namespace testsupport
