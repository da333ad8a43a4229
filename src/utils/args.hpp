// The argument-error texts that every entry operation shares, in the wording a
// dynamic caller knows: "Argument 'x' has incorrect type (expected int, got str)" and
// "Expected dict, got list". Every filled-in value is cut at 200 characters.
#pragma once

#include <droidlens/json.hpp>

#include <string>
#include <string_view>

namespace droidlens::args {

// "Argument '<name>' has incorrect type (expected <expected>, got <got>)".
std::string wrong_type_message(std::string_view name, std::string_view expected, std::string_view got);

// Throws TypeError with wrong_type_message(name, expected, type_name(given)).
[[noreturn]] void throw_wrong_type(std::string_view name, std::string_view expected, const Json& given);

// Throws TypeError "Expected <expected>, got <type name of given>".
[[noreturn]] void throw_expected(std::string_view expected, const Json& given);

}  // namespace droidlens::args
