// Helpers shared by the tests: temporary directories, environment overrides, the
// third-party fixtures (skipped when absent) and message-checking assertions.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>

namespace testsupport {

namespace stdfs = std::filesystem;

// A fresh directory under the system temp dir, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::random_device rd;
        path_ = stdfs::temp_directory_path() / ("droidlens_test_" + std::to_string(rd()) + std::to_string(rd()));
        stdfs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        stdfs::permissions(path_, stdfs::perms::owner_all, stdfs::perm_options::add, ec);
        stdfs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const stdfs::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    stdfs::path path_;
};

// Sets (or unsets, with nullopt) an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
        if (value) ::setenv(name_.c_str(), value->c_str(), 1);
        else ::unsetenv(name_.c_str());
    }
    ~ScopedEnv() {
        if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
        else ::unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

inline std::string read_text(const stdfs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_text(const stdfs::path& p, const std::string& data) {
    stdfs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out << data;
}

// Path of a third-party fixture (real Android data); empty when the fixtures are
// not beside the checkout (a user's fresh clone).
inline std::string shared_fixture(const std::string& relative) {
    stdfs::path p = stdfs::path(DROIDLENS_SHARED_FIXTURES) / relative;
    return stdfs::exists(p) ? p.string() : std::string();
}

inline std::string fakes_dir() { return DROIDLENS_FAKES_DIR; }
inline std::string source_dir() { return DROIDLENS_SOURCE_DIR; }

}  // namespace testsupport

// Skips the current test when a shared fixture is missing; otherwise binds its path.
#define REQUIRE_SHARED_FIXTURE(var, relative)                                  \
    const std::string var = ::testsupport::shared_fixture(relative);           \
    if (var.empty()) GTEST_SKIP() << "shared fixture not present: " << relative

// Expects `stmt` to throw `type` whose what() equals `message` exactly.
#define EXPECT_THROW_MSG(stmt, type, message)                                   \
    do {                                                                        \
        try {                                                                   \
            stmt;                                                               \
            ADD_FAILURE() << "expected " #type " with message: " << (message);  \
        } catch (const type& e_) {                                              \
            EXPECT_EQ(std::string(e_.what()), std::string(message));           \
        } catch (const std::exception& e_) {                                    \
            ADD_FAILURE() << "expected " #type ", got another error: " << e_.what(); \
        }                                                                       \
    } while (0)
