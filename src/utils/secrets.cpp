#include "utils/secrets.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

namespace droidlens::secrets {

namespace {

std::mutex g_mutex;
std::vector<std::string> g_secrets;

// The user-information part of the URL starting at `scheme_end` (just after "://"):
// the bytes before an '@' that comes before the first '/', '?' or '#'.
std::string_view userinfo_at(std::string_view text, size_t scheme_end) {
    const size_t stop = text.find_first_of("/?# \t\r\n\"'", scheme_end);
    const size_t at = text.find('@', scheme_end);
    if (at == std::string_view::npos || (stop != std::string_view::npos && at > stop)) return {};
    return text.substr(scheme_end, at - scheme_end);
}

}  // namespace

void add(const std::string& secret) {
    if (secret.size() < kMinSecretLength) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (std::find(g_secrets.begin(), g_secrets.end(), secret) == g_secrets.end()) g_secrets.push_back(secret);
}

bool appears_in(std::string_view text) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const std::string& s : g_secrets)
        if (text.find(s) != std::string_view::npos) return true;
    return false;
}

std::string redact(std::string text) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (const std::string& s : g_secrets)
            for (size_t pos = text.find(s); pos != std::string::npos; pos = text.find(s, pos + 3))
                text.replace(pos, s.size(), "***");
    }
    for (size_t pos = text.find("://"); pos != std::string::npos; pos = text.find("://", pos + 3)) {
        const std::string_view info = userinfo_at(text, pos + 3);
        if (!info.empty() && info != "***") text.replace(pos + 3, info.size(), "***");
    }
    return text;
}

std::string url_credentials(std::string_view url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) return {};
    const std::string_view info = userinfo_at(url, scheme + 3);
    const size_t colon = info.find(':');
    return std::string(colon == std::string_view::npos ? info : info.substr(colon + 1));
}

}  // namespace droidlens::secrets
