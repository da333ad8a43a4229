// The model's action-call text: parse_action must either give a mapping or throw
// ValueError, and a parsed do-action must be safe to hand to the executor's checks.
#include <droidlens/errors.hpp>

#include "utils/action_executor.hpp"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        droidlens::Json action = droidlens::actions::parse_action(text);
        (void)droidlens::dump_json(action);
    } catch (const droidlens::ValueError&) {
    }
    return 0;
}
