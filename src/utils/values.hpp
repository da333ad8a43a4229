// Reading values that come from a model's tool arguments, which may hold any JSON:
// the conversions a dynamic language applies (int(), float(), str(), truth value),
// with every value they cannot convert refused as a ConversionError that names it.
#pragma once

#include <droidlens/json.hpp>

#include <cstdint>
#include <string>

namespace droidlens::values {

// False-valued: null, false, the number zero (either sign), the empty text, an empty
// list or mapping.
bool is_false_valued(const Json& v);

// True for integers and reals; booleans count as the numbers 1 and 0.
bool is_number(const Json& v);

// A number as a double (booleans as 1 and 0). Requires is_number(v).
double number_value(const Json& v);

// Integer reading: integers pass, reals are truncated toward zero, true and false
// are 1 and 0, text holding a decimal integer (surrounding blanks allowed) is parsed.
// Anything else, NaN, infinities and values beyond 64 bits throw ConversionError.
std::int64_t to_int(const Json& v);

// Real reading: numbers pass (booleans as 1 and 0), numeric text is parsed
// (surrounding blanks allowed). Anything else throws ConversionError.
double to_real(const Json& v);

// The textual form of a value: text as it is; integers and reals in their usual
// decimal notation (42, 12.5, 1e+20); true/false/null as True/False/None; lists and
// mappings as compact JSON.
std::string to_text(const Json& v);

}  // namespace droidlens::values
