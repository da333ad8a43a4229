#include "utils/fs.hpp"

#include <droidlens/errors.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace droidlens::fs {

namespace stdfs = std::filesystem;

void ensure_directory(const std::string& dir) {
    if (dir.empty()) return;  // the current directory always exists
    std::error_code ec;
    stdfs::create_directories(dir, ec);
    if (ec) {
        throw FileSystemError("Cannot create directory '" + dir + "': " + ec.message());
    }
    if (!stdfs::is_directory(dir, ec)) {
        throw FileSystemError("Cannot create directory '" + dir + "': File exists and is not a directory");
    }
}

std::string read_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT) throw FileSystemError("No such file or directory: '" + path + "'");
        throw FileSystemError("Cannot read '" + path + "': " + std::strerror(err));
    }
    std::string data;
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            throw FileSystemError("Cannot read '" + path + "': " + std::strerror(err));
        }
        data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return data;
}

namespace {

// Writes `bytes` to a new temporary file beside `path` (same directory, so that a
// rename or link onto `path` is atomic) and returns its name.
std::string write_temporary(const std::string& path, std::string_view bytes) {
    stdfs::path target(path);
    std::string dir = target.parent_path().string();
    std::random_device rd;
    std::string tmp = (dir.empty() ? std::string() : dir + "/") + "." + target.filename().string() + ".tmp" +
                      std::to_string(::getpid()) + "_" + std::to_string(rd());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw FileSystemError("Cannot write '" + path + "': " + std::strerror(errno));
    }
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            throw FileSystemError("Cannot write '" + path + "': " + std::strerror(err));
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        throw FileSystemError("Cannot write '" + path + "': " + std::strerror(err));
    }
    return tmp;
}

// Puts the finished temporary file under `target` only when that name is free:
// true when it did, false when the name is taken. A hard link fails atomically on an
// existing name; file systems without links get the name claimed with O_EXCL first.
bool place_if_free(const std::string& tmp, const std::string& target) {
    if (::link(tmp.c_str(), target.c_str()) == 0) {
        ::unlink(tmp.c_str());
        return true;
    }
    int err = errno;
    if (err == EEXIST) return false;
    if (err == EPERM || err == EOPNOTSUPP || err == ENOSYS || err == EMLINK) {
        const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST) return false;
        if (fd >= 0) {
            ::close(fd);
            if (std::rename(tmp.c_str(), target.c_str()) == 0) return true;
        }
        err = errno;
    }
    ::unlink(tmp.c_str());
    throw FileSystemError("Cannot write '" + target + "': " + std::strerror(err));
}

}  // namespace

void write_file(const std::string& path, std::string_view bytes) {
    const std::string tmp = write_temporary(path, bytes);
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        throw FileSystemError("Cannot write '" + path + "': " + std::strerror(err));
    }
}

NewFile write_new_file(const std::string& dir, const std::function<std::string(const std::string&)>& name,
                       std::string_view bytes) {
    const std::string tmp = write_temporary(join(dir, name("")), bytes);
    for (int n = 1; n <= kMaxNameSuffix; ++n) {
        const std::string suffix = n == 1 ? "" : "_" + std::to_string(n);
        const std::string target = join(dir, name(suffix));
        if (place_if_free(tmp, target)) return {target, suffix};
    }
    ::unlink(tmp.c_str());
    throw FileSystemError("Cannot write '" + join(dir, name("")) + "': " + std::to_string(kMaxNameSuffix) +
                          " files of that name exist already");
}

std::string join(const std::string& dir, const std::string& name) {
    return (stdfs::path(dir) / name).string();
}

std::string stem(const std::string& path) {
    return stdfs::path(path).stem().string();
}

std::string local_time_text(const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char buf[128];
    size_t n = std::strftime(buf, sizeof buf, format, &tm);
    return std::string(buf, n);
}

}  // namespace droidlens::fs
