#include <droidlens/config.hpp>
#include <droidlens/errors.hpp>
#include <droidlens/json.hpp>

#include "config_file.hpp"
#include "model/frames.hpp"
#include "utils/fs.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace droidlens {

namespace {

std::optional<std::string> process_env(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr) return std::nullopt;
    return std::string(v);
}

// An environment variable that is set and not empty.
std::optional<std::string> env_value(EnvLookup env, const char* name) {
    auto v = env(name);
    if (v && v->empty()) return std::nullopt;
    return v;
}

double parse_number(const std::string& text, const std::string& where) {
    errno = 0;
    char* end = nullptr;
    double d = std::strtod(text.c_str(), &end);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (text.empty() || end == text.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(d)) {
        throw ValueError("Invalid " + where + ": '" + text + "' (expected a number)");
    }
    return d;
}

long long parse_integer(const std::string& text, const std::string& where) {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    while (end && (*end == ' ' || *end == '\t')) ++end;
    if (text.empty() || end == text.c_str() || *end != '\0' || errno == ERANGE) {
        throw ValueError("Invalid " + where + ": '" + text + "' (expected an integer)");
    }
    return v;
}

}  // namespace

// Values are never quoted back in messages, so a malformed api_key cannot leak.
void apply_config_text(ModelConfig& config, const std::string& text, const std::string& path) {
    Json doc;
    try {
        doc = Json::parse(text);
    } catch (const Json::parse_error& e) {
        // Only the position: the parser's own text quotes what it last read, which
        // may be the API key.
        const size_t at = std::min<size_t>(e.byte > 0 ? e.byte - 1 : 0, text.size());
        size_t line = 1, column = 1;
        for (size_t i = 0; i < at; ++i) {
            if (text[i] == '\n') {
                ++line;
                column = 1;
            } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
                ++column;
            }
        }
        throw ValueError("Config file '" + path + "' is not valid JSON (line " + std::to_string(line) +
                         ", column " + std::to_string(column) + ")");
    } catch (const Json::exception&) {
        // A number beyond the range of a double, the parser's only other complaint.
        throw ValueError("Config file '" + path + "' is not valid JSON (a number is out of range)");
    }
    if (!doc.is_object()) throw ValueError("Config file '" + path + "' must hold a JSON object");
    for (auto it = doc.begin(); it != doc.end(); ++it) {
        const std::string& key = it.key();
        const Json& v = it.value();
        auto want = [&](bool ok, const char* what) {
            if (!ok) throw ValueError("Config file '" + path + "': '" + key + "' must be " + what);
        };
        if (key == "base_url" || key == "api_key" || key == "model") {
            want(v.is_string(), "a string");
            (key == "base_url" ? config.base_url : key == "api_key" ? config.api_key : config.model) =
                v.get<std::string>();
        } else if (key == "temperature") {
            want(v.is_number(), "a number");
            config.temperature = v.get<double>();
            config.temperature_override = config.temperature;
        } else if (key == "tool_choice" || key == "coordinates") {
            want(v.is_string(), "a string");
            (key == "tool_choice" ? config.tool_choice : config.coordinates) = v.get<std::string>();
        } else if (key == "max_image_side") {
            want(v.is_number_integer(), "an integer");
            config.max_image_side = v.get<long long>();
        } else if (key == "max_tokens") {
            want(v.is_number_integer(), "an integer");
            config.max_tokens = v.get<long long>();
        } else if (key == "cache" || key == "cache_mode") {
            want(v.is_string(), "a string");
            (key == "cache" ? config.cache_dir : config.cache_mode) = v.get<std::string>();
        } else if (key == "cache_max_mb") {
            want(v.is_number_integer(), "an integer");
            config.cache_max_mb = v.get<long long>();
        } else if (key == "timeout") {
            want(v.is_number(), "a number");
            config.timeout = v.get<double>();
        } else {
            throw ValueError("Config file '" + path + "': unknown key '" + key +
                             "' (known: base_url, api_key, model, temperature, max_tokens, timeout, tool_choice, coordinates, "
                             "max_image_side, cache, cache_mode, cache_max_mb)");
        }
    }
}

ModelConfig load_model_config(const ConfigOverrides& flags, EnvLookup env) {
    if (env == nullptr) env = &process_env;
    ModelConfig config;

    // Lowest precedence first: the file, then the environment, then the flags.
    if (flags.config_file) apply_config_text(config, fs::read_file(*flags.config_file), *flags.config_file);

    if (auto v = env_value(env, "DROIDLENS_BASE_URL")) config.base_url = *v;
    else if (auto o = env_value(env, "OPENAI_BASE_URL")) config.base_url = *o;
    if (auto v = env_value(env, "DROIDLENS_API_KEY")) config.api_key = *v;
    else if (auto o = env_value(env, "OPENAI_API_KEY")) config.api_key = *o;
    if (auto v = env_value(env, "DROIDLENS_MODEL")) config.model = *v;
    if (auto v = env_value(env, "DROIDLENS_TEMPERATURE")) config.temperature = parse_number(*v, "DROIDLENS_TEMPERATURE");
    if (auto v = env_value(env, "DROIDLENS_MAX_TOKENS")) config.max_tokens = parse_integer(*v, "DROIDLENS_MAX_TOKENS");
    if (auto v = env_value(env, "DROIDLENS_TIMEOUT")) config.timeout = parse_number(*v, "DROIDLENS_TIMEOUT");
    if (auto v = env_value(env, "DROIDLENS_TOOL_CHOICE")) config.tool_choice = *v;
    if (auto v = env_value(env, "DROIDLENS_COORDINATES")) config.coordinates = *v;
    if (auto v = env_value(env, "DROIDLENS_MAX_IMAGE_SIDE"))
        config.max_image_side = parse_integer(*v, "DROIDLENS_MAX_IMAGE_SIDE");
    if (auto v = env_value(env, "DROIDLENS_CACHE")) config.cache_dir = *v;
    if (auto v = env_value(env, "DROIDLENS_CACHE_MODE")) config.cache_mode = *v;
    if (auto v = env_value(env, "DROIDLENS_CACHE_MAX_MB"))
        config.cache_max_mb = parse_integer(*v, "DROIDLENS_CACHE_MAX_MB");

    if (flags.base_url) config.base_url = *flags.base_url;
    if (flags.api_key) config.api_key = *flags.api_key;
    if (flags.model) config.model = *flags.model;
    if (flags.temperature) config.temperature = *flags.temperature;
    if (flags.max_tokens) config.max_tokens = *flags.max_tokens;
    if (flags.timeout) config.timeout = *flags.timeout;
    if (flags.tool_choice) config.tool_choice = *flags.tool_choice;
    if (flags.coordinates) config.coordinates = *flags.coordinates;
    if (flags.max_image_side) config.max_image_side = *flags.max_image_side;
    if (flags.cache_dir) config.cache_dir = *flags.cache_dir;
    if (flags.cache_mode) config.cache_mode = *flags.cache_mode;
    if (flags.cache_max_mb) config.cache_max_mb = *flags.cache_max_mb;

    // Whatever named a temperature, the user chose it: it overrides the modes' own.
    const bool temperature_given =
        flags.temperature || env_value(env, "DROIDLENS_TEMPERATURE") || config.temperature_override;
    if (!std::isfinite(config.temperature) || config.temperature < 0 || config.temperature > 2) {
        throw UsageError("Invalid temperature: must be a number from 0 to 2");
    }
    if (temperature_given) config.temperature_override = config.temperature;
    if (config.max_tokens <= 0) throw ValueError("Invalid max_tokens: must be a positive integer");
    check_tool_choice(config.tool_choice);
    (void)frames::parse_frame(config.coordinates);
    if (config.max_image_side < 0 || (config.max_image_side > 0 && config.max_image_side < 64))
        throw UsageError("Invalid max_image_side: must be 0 (full size) or at least 64 pixels");
    check_cache_mode(config.cache_mode);
    if (config.cache_max_mb < 0) throw UsageError("Invalid cache_max_mb: must be 0 (no limit) or a number of MiB");
    if (config.cache_mode == "replay" && config.cache_dir.empty())
        throw UsageError("Cache mode replay needs a cache directory (--cache DIR or DROIDLENS_CACHE)");
    if (!std::isfinite(config.timeout) || config.timeout <= 0) {
        throw ValueError("Invalid timeout: must be a number of seconds > 0");
    }
    return config;
}

void check_cache_mode(const std::string& value) {
    if (value != "use" && value != "record" && value != "replay")
        throw UsageError("Invalid cache_mode: '" + value + "' (expected use, record or replay)");
}

void check_tool_choice(const std::string& value) {
    if (value != "named" && value != "required" && value != "auto" && value != "none")
        throw UsageError("Invalid tool_choice: '" + value + "' (expected named, required, auto or none)");
}

void require_model_service(const ModelConfig& config) {
    if (config.base_url.empty()) {
        throw ValueError(
            "No model service configured: set --base-url or DROIDLENS_BASE_URL (or OPENAI_BASE_URL)");
    }
    if (config.model.empty()) throw ValueError("No model configured: set --model or DROIDLENS_MODEL");
}

}  // namespace droidlens
