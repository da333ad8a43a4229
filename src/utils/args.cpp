#include "utils/args.hpp"

#include <droidlens/errors.hpp>

namespace droidlens::args {

namespace {
std::string cut200(std::string_view s) { return std::string(s.substr(0, 200)); }
}  // namespace

std::string wrong_type_message(std::string_view name, std::string_view expected, std::string_view got) {
    return "Argument '" + cut200(name) + "' has incorrect type (expected " + cut200(expected) + ", got " +
           cut200(got) + ")";
}

void throw_wrong_type(std::string_view name, std::string_view expected, const Json& given) {
    throw TypeError(wrong_type_message(name, expected, type_name(given)));
}

void throw_expected(std::string_view expected, const Json& given) {
    throw TypeError("Expected " + cut200(expected) + ", got " + cut200(type_name(given)));
}

}  // namespace droidlens::args
