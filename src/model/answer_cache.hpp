// The answer cache: model responses on disk, keyed by the request that produced them.
// Identical screenshots and prompts make identical requests, so a screen already
// answered costs no model call, and a recorded run replays without the service.
//
// One file per entry, `<key>.json` holding the response body as the service sent it.
// Entries are written under a temporary name and renamed into place, so processes
// sharing a directory never read a half-written entry; the last writer of a key wins
// with an equally valid answer. Reading an entry updates its modification time,
// which is what the size limit's least-recently-used order goes by.
#pragma once

#include <optional>
#include <string>

namespace droidlens::answer_cache {

// The key of a request: the SHA-256 (hex) of the base URL, the model and the body as
// sent. Nothing else goes in, so the key never depends on (nor reveals) the API key.
std::string request_key(const std::string& base_url, const std::string& model, const std::string& body);

// The stored response of `key` when there is a usable one: a JSON object. A missing
// entry and a damaged one (not JSON, cut short) are both absent; the latter is
// replaced by the next store.
std::optional<std::string> load(const std::string& dir, const std::string& key);

// Stores `response` as the entry of `key` (the directory is created when missing).
// Throws FileSystemError when the directory cannot be written.
void store(const std::string& dir, const std::string& key, const std::string& response);

// Removes the least recently used entries until the entries take at most `max_mb`
// MiB; 0 keeps everything. Entries another process removes meanwhile are skipped.
void trim(const std::string& dir, long long max_mb);

}  // namespace droidlens::answer_cache
