// Internal view of the router, for tests that observe what a handler receives.
#pragma once

#include <droidlens/route.hpp>

namespace droidlens {

using ModeHandler = Json (*)(const ModeArgs&);

// Replaces the handler of `mode` and returns the previous one (tests restore it).
ModeHandler swap_mode_handler(const std::string& mode, ModeHandler handler);

}  // namespace droidlens
