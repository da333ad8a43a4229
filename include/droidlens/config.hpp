// Model configuration: where the chat-completions service is, which model to ask,
// and the transport's limits. Filled from flags, environment, a JSON file and defaults.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace droidlens {

struct ModelConfig {
    std::string base_url;       // e.g. "https://api.openai.com/v1"; "/chat/completions" is appended
    std::string api_key;        // bearer credential; may be empty for local services
    std::string model;          // model name sent with every request
    double temperature = 0.1;   // used when a call gives none
    // A temperature the user asked for (flag, environment, file): it applies to every
    // request, over the temperature each mode asks for. Absent: the modes keep theirs.
    std::optional<double> temperature_override;
    long long max_tokens = 4096;  // used when a call gives none
    // Seconds allowed for the whole model call: every attempt and every wait between
    // attempts. A request that timed out after it was sent is not repeated.
    double timeout = 120.0;
    double connect_timeout = 10.0;  // seconds allowed to establish one connection
    int max_retries = 2;        // retries of transient failures (connection, 408, 429, 5xx) within the budget
    // How tool calls are asked for: "named" (a tool_choice naming the function),
    // "required", "auto", or "none" (no tools: the arguments are asked for as a JSON
    // object in the answer). A service that refuses "named" is asked with "required".
    std::string tool_choice = "named";
    // The frame the model answers boxes and points in: "rel1000" ([x1,y1,x2,y2] in
    // 0-1000, droidlens's own), "rel1000-yx" (y first), "pixels" (of the image as
    // sent) or "rel1" (0-1). Answers are converted to droidlens's frame where read.
    std::string coordinates = "rel1000";
    // Screenshots whose longer side is above this are scaled down (Lanczos, aspect
    // kept) before they are sent; 0 sends them at full size.
    long long max_image_side = 0;
    // The answer cache: a directory of responses keyed by a hash of the request (empty:
    // no cache). "use" answers from it and stores what the service answers on a miss,
    // "record" always asks and stores, "replay" never asks (a miss is an error).
    std::string cache_dir;
    std::string cache_mode = "use";
    // The directory's size limit in MiB: the least recently used entries are removed
    // beyond it. 0: no limit.
    long long cache_max_mb = 0;
};

// Values given on the command line; absent ones fall through to the environment.
struct ConfigOverrides {
    std::optional<std::string> base_url;
    std::optional<std::string> api_key;
    std::optional<std::string> model;
    std::optional<double> temperature;
    std::optional<long long> max_tokens;
    std::optional<double> timeout;
    std::optional<std::string> tool_choice;
    std::optional<std::string> coordinates;
    std::optional<long long> max_image_side;
    std::optional<std::string> cache_dir;
    std::optional<std::string> cache_mode;
    std::optional<long long> cache_max_mb;
    std::optional<std::string> config_file;
};

// Environment lookup, injectable for tests. The default reads the process environment.
using EnvLookup = std::optional<std::string> (*)(const char* name);

// Resolves the configuration: flags, then environment (DROIDLENS_* first, then
// OPENAI_BASE_URL / OPENAI_API_KEY), then the JSON file named by --config, then defaults.
// Throws ValueError for a malformed value or file, FileSystemError for an unreadable file.
ModelConfig load_model_config(const ConfigOverrides& flags, EnvLookup env = nullptr);

// Throws UsageError unless `value` is one of use, record, replay.
void check_cache_mode(const std::string& value);

// Throws UsageError unless `value` is one of named, required, auto, none.
void check_tool_choice(const std::string& value);

// Throws ValueError naming what is missing when base_url or model is empty.
void require_model_service(const ModelConfig& config);

}  // namespace droidlens
