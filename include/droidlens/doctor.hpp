// What a model service can do for droidlens, found out by asking it a handful of
// small questions: reachable, key accepted, model known, tool calls honoured, and the
// coordinate frame its boxes come in. `droidlens doctor` prints the findings.
#pragma once

#include <droidlens/config.hpp>
#include <droidlens/json.hpp>

#include <string>

namespace droidlens {

// Asks the service of `config` and returns
//   {"checks": [{"check", "ok", "detail"}, ...],
//    "profile": {"tool_choice", "coordinates"} or null,
//    "status": 0 (the model can serve droidlens), 4 (the service failed) or 5 (its
//              answers cannot be used)}.
// The checks, in order: "reachable" (with the round trip time), "key", "model"
// (GET /models where offered), "images and tools" (a probe screenshot with the
// locate tool: the forced tool choice honoured, ignored or refused), and
// "coordinates" (which frame explains the box the model drew around the probe's
// target, or none: the model cannot locate reliably). Never throws for what the
// service does; messages never contain the key.
Json doctor(const ModelConfig& config);

// Writes the profile that doctor() found into the JSON file at `path`, merged into
// what the file holds already; base_url and model are written too, the API key only
// when the file had one. Throws FileSystemError / ValueError for a file that cannot
// be read, parsed or written.
void write_profile(const std::string& path, const ModelConfig& config, const Json& findings);

}  // namespace droidlens
