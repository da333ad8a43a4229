// The entry of `droidlens mcp`: every mode of droidlens as a tool of a Model Context
// Protocol server on standard input and output.
#pragma once

#include <droidlens/config.hpp>

#include <cstdint>
#include <string>

namespace droidlens::mcp {

// Tool calls a server runs at once unless told otherwise.
inline constexpr int kDefaultWorkers = 4;

// The run options a tool call falls back on when it leaves them out.
struct CallDefaults {
    std::string output_dir;
    std::int64_t max_steps = 0;
    std::string lang;
};

// Serves until standard input ends (returns 0) or SIGINT/SIGTERM arrives (returns
// 128 + the signal). `config` is the model configuration the command line resolved;
// it is checked when a tool first needs the model, so the device tools and diff work
// without one.
// Up to `workers` tool calls run at once (calls on the same device one after another).
int serve_stdio(ModelConfig config, CallDefaults defaults, int workers = kDefaultWorkers);

}  // namespace droidlens::mcp
