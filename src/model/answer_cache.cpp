#include "model/answer_cache.hpp"

#include <droidlens/json.hpp>

#include "utils/fs.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

namespace stdfs = std::filesystem;

namespace droidlens::answer_cache {

namespace {

std::string entry_path(const std::string& dir, const std::string& key) { return fs::join(dir, key + ".json"); }

bool is_entry(const stdfs::path& p) {
    const std::string name = p.filename().string();
    return name.size() == 64 + 5 && name.compare(64, 5, ".json") == 0 && name[0] != '.';
}

}  // namespace

std::string request_key(const std::string& base_url, const std::string& model, const std::string& body) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    // Each part is preceded by its length, so that no two different requests hash the
    // same text.
    auto part = [&](const std::string& s) {
        const std::string length = std::to_string(s.size()) + ":";
        EVP_DigestUpdate(ctx, length.data(), length.size());
        EVP_DigestUpdate(ctx, s.data(), s.size());
    };
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    part("droidlens answer cache 1");
    part(base_url);
    part(model);
    part(body);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx, digest, &n);
    EVP_MD_CTX_free(ctx);
    static const char* kHex = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < n; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

std::optional<std::string> load(const std::string& dir, const std::string& key) {
    const std::string path = entry_path(dir, key);
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && in.fail()) return std::nullopt;
    const Json parsed = Json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    std::error_code ec;
    stdfs::last_write_time(path, stdfs::file_time_type::clock::now(), ec);  // recently used
    return text;
}

void store(const std::string& dir, const std::string& key, const std::string& response) {
    fs::ensure_directory(dir);
    fs::write_file(entry_path(dir, key), response);
}

void trim(const std::string& dir, long long max_mb) {
    if (max_mb <= 0) return;
    struct Entry {
        stdfs::path path;
        stdfs::file_time_type used;
        std::uintmax_t size;
    };
    std::vector<Entry> entries;
    std::uintmax_t total = 0;
    std::error_code ec;
    for (const auto& e : stdfs::directory_iterator(dir, ec)) {
        if (!is_entry(e.path())) continue;
        std::error_code item;
        const auto size = e.file_size(item);
        const auto used = e.last_write_time(item);
        if (item) continue;
        entries.push_back({e.path(), used, size});
        total += size;
    }
    const std::uintmax_t limit = static_cast<std::uintmax_t>(max_mb) << 20;
    if (total <= limit) return;
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.used < b.used; });
    for (const Entry& e : entries) {
        if (total <= limit) break;
        std::error_code item;
        stdfs::remove(e.path, item);
        total -= e.size;
    }
}

}  // namespace droidlens::answer_cache
