// The run options of route(), declared once. The router's checks, the command's
// flags and per-mode help, the Python keyword arguments and stubs, and the protocol
// server's input schemas are all made from this table: an option is one row of it.
#pragma once

#include <droidlens/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace droidlens {

enum class OptionType { kText, kInteger, kReal, kBoolean, kTextList };

// How route() binds an option, and what its values are.
enum OptionFlag : unsigned {
    kPositional = 1u << 0,  // also positional in route(), after the prompt, in table order
    kOwnModes = 1u << 1,    // a mode's own option: refused by the modes not listed
    kPath = 1u << 2,        // a file-system path (Python takes os.PathLike too)
    kOneOrMany = 1u << 3,   // a list that may also be given as one text
};

struct RunOption {
    const char* name;        // keyword of route(), argument of the tools
    OptionType type;
    Json default_value;      // null: absent unless given (null counts as not given)
    const char* help;        // one line, for the command's help and the tools' schemas
    const char* modes;       // the modes and commands that take it, separated by spaces
    unsigned flags;          // OptionFlag bits
    std::optional<double> minimum;  // numbers: the smallest value accepted
    std::optional<double> maximum;  // numbers: the largest value accepted
    const char* format;      // texts: "HOST:PORT" checks the form, "a|b|c" names the words allowed; null: any text
    const char* flag;        // the command's long flag ("--device-id")
    const char* short_flag;  // and its short one ("-i"), or null
    const char* metavar;     // what the flag's value is called in the help ("SERIAL")
};

// Every run option, positional ones first in route()'s order.
const std::vector<RunOption>& run_options();

// The option called `name`, or null.
const RunOption* find_run_option(std::string_view name);

// True when `mode` (a mode or command name) is listed among the option's modes.
bool option_takes(const RunOption& option, std::string_view mode);

// The type name of the option in argument errors: str, int, float, bool, list.
const char* option_type_name(OptionType type);

// A value given for the option, checked and converted as route() does it, with its
// messages: "Argument 'display_id' has incorrect type (expected int, got str)" for a
// wrong type (TypeError); decimals and booleans given for integers are truncated
// toward zero; null stands for "not given" when the default is null and is refused
// otherwise; a value out of range or of the wrong form is a UsageError
// ("max_steps must not be negative, got -1", "adb_server must be HOST:PORT, got 'x'").
// Returns the value as the mode receives it (null: not given).
Json check_option_value(const RunOption& option, const Json& value);

// A value as the command line gives it (one text per occurrence of the flag), checked
// as above; numbers are read from the text ("2", "2.0", "0.01").
Json option_value_from_text(const RunOption& option, const std::vector<std::string>& texts);

// The option's JSON Schema for the tools' input schemas: type, range, default and the
// help line as the description.
Json option_schema(const RunOption& option);

// route()'s parameters after `prompt`, as Python writes them: with type annotations
// as in droidlens.pyi (`display_id: Optional[int] = None`), or without
// (`display_id=None`) for the docstring; keyword-only options after "*".
std::string python_route_parameters(bool annotated);

}  // namespace droidlens
