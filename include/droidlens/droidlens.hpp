// Everything a caller of the droidlens library needs.
#pragma once

#include <droidlens/cancel.hpp>
#include <droidlens/config.hpp>
#include <droidlens/console.hpp>
#include <droidlens/events.hpp>
#include <droidlens/errors.hpp>
#include <droidlens/json.hpp>
#include <droidlens/modelwire.hpp>
#include <droidlens/options.hpp>
#include <droidlens/report.hpp>
#include <droidlens/route.hpp>
#include <droidlens/run.hpp>

namespace droidlens {
inline constexpr const char* kVersion = "0.1.0";
}
