// The router's mode table and its table-driven entries. route() and route_dynamic()
// use the production table; tests pass a table of their own to observe what a
// handler receives, so nothing in the production router can be swapped at run time.
#pragma once

#include <droidlens/route.hpp>

#include <vector>

namespace droidlens {

using ModeHandler = Json (*)(const ModeArgs&);

struct ModeEntry {
    ModeInfo info;
    ModeHandler handler;
};

// The production table, in the order the names are tested.
const std::vector<ModeEntry>& mode_table();

Json route_with(const std::vector<ModeEntry>& table, ChatModel* llm, const std::string& mode,
                const std::string& prompt, const RouteOptions& options);
Json route_dynamic_with(const std::vector<ModeEntry>& table, ChatModel* llm, const Json& args, const Json& kwargs);

}  // namespace droidlens
