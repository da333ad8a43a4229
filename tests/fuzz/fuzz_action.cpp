// The model's action-call text, alone and as the automation reads a whole answer:
// parse_action must either give a mapping or throw ValueError; _parse_response must
// split any text into reasoning and action, and the action part must again parse or
// be refused cleanly.
#include <droidlens/errors.hpp>

#include "modes/automate.hpp"
#include "device/action_executor.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        droidlens::Json action = droidlens::actions::parse_action(text);
        (void)droidlens::dump_json(action);
    } catch (const droidlens::ValueError&) {
    }
    const auto [thinking, action_text] = droidlens::automate::_parse_response(text);
    // The two parts come from the answer itself: neither can be longer than it.
    if (thinking.size() > text.size() || action_text.size() > text.size()) __builtin_trap();
    try {
        (void)droidlens::dump_json(droidlens::actions::parse_action(action_text));
    } catch (const droidlens::ValueError&) {
    }
    return 0;
}
