// Result records and everything that crosses module boundaries as a mapping are
// ordered JSON objects, so keys keep the order in which they were inserted.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace droidlens {

using Json = nlohmann::ordered_json;

// The name a dynamic caller knows for the type of a value: "str", "int", "float",
// "bool", "list", "dict" or "NoneType". Used in type-error messages.
std::string type_name(const Json& value);

// Serialises a record the way droidlens prints it: UTF-8, non-ASCII characters
// written as they are, invalid UTF-8 replaced rather than thrown on.
std::string dump_json(const Json& value, int indent = -1);

// Serialises for people to read: objects and lists of lists one entry per line
// (indented by two blanks a level), lists of plain values on one line ("[1, 2, 3]").
std::string dump_json_pretty(const Json& value);

// Serialises with the separators ", " and ": " on one line (the layout that
// prompts embed, e.g. the screen-info text sent to the model).
std::string dump_json_spaced(const Json& value);

}  // namespace droidlens
