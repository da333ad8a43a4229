// The --config file: any text is either applied or refused with ValueError, and no
// message ever quotes the key it held: a parse error names only its position, and a
// refused document never repeats its api_key value.
#include <droidlens/config.hpp>
#include <droidlens/errors.hpp>
#include <droidlens/json.hpp>

#include "config_file.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    droidlens::ModelConfig config;
    try {
        droidlens::apply_config_text(config, text, "fuzz.json");
    } catch (const droidlens::ValueError& e) {
        const std::string message = e.what();
        const droidlens::Json doc = droidlens::Json::parse(text, nullptr, false);
        if (doc.is_discarded()) {
            if (message.rfind("Config file 'fuzz.json' is not valid JSON (", 0) != 0) __builtin_trap();
        } else if (doc.is_object() && doc.contains("api_key") && doc["api_key"].is_string() &&
                   text.find("fuzz-key-marker") == std::string::npos) {
            // The same document with a key no message could contain by chance (a key
            // that happens to spell part of the message's own text is no leak).
            droidlens::Json marked = doc;
            const std::string marker = "sk-\x01fuzz-key-marker\x02";
            marked["api_key"] = marker;
            droidlens::ModelConfig again;
            try {
                droidlens::apply_config_text(again, marked.dump(), "fuzz.json");
            } catch (const droidlens::ValueError& e2) {
                if (std::string(e2.what()).find("fuzz-key-marker") != std::string::npos) __builtin_trap();
            }
        }
    }
    return 0;
}
