// Reading the JSON configuration file's text (what --config names), apart from the
// file system so that any text can be checked.
#pragma once

#include <droidlens/config.hpp>

#include <string>

namespace droidlens {

// Applies the keys of the JSON object in `text` (base_url, api_key, model,
// temperature, max_tokens, timeout) to `config`. `path` only names the file in
// messages. Throws ValueError for text that is not such an object; a parse error
// gives only its line and column, and no message ever quotes a value.
void apply_config_text(ModelConfig& config, const std::string& text, const std::string& path);

}  // namespace droidlens
