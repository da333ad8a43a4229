#include "utils/values.hpp"

#include <droidlens/errors.hpp>

#include "utils/text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace droidlens::values {

namespace {

// How a refused value is shown in a message: text quoted and cut short, others in
// their JSON form.
std::string shown(const Json& v) {
    if (v.is_string()) {
        std::string s = v.get<std::string>();
        if (s.size() > 100) s = s.substr(0, 100) + "...";
        return "'" + s + "'";
    }
    std::string s = dump_json(v);
    return s.size() > 100 ? s.substr(0, 100) + "..." : s;
}

std::int64_t checked_trunc(double d) {
    if (std::isnan(d)) throw ConversionError("cannot convert float NaN to integer");
    if (std::isinf(d)) throw ConversionError("cannot convert float infinity to integer");
    const double t = std::trunc(d);
    if (t < -9.2233720368547758e18 || t >= 9.2233720368547758e18)
        throw ConversionError("integer out of range: " + dump_json(Json(d)));
    return static_cast<std::int64_t>(t);
}

}  // namespace

bool is_false_valued(const Json& v) {
    switch (v.type()) {
        case Json::value_t::null: return true;
        case Json::value_t::boolean: return !v.get<bool>();
        case Json::value_t::number_integer: return v.get<std::int64_t>() == 0;
        case Json::value_t::number_unsigned: return v.get<std::uint64_t>() == 0;
        case Json::value_t::number_float: return v.get<double>() == 0.0;
        case Json::value_t::string: return v.get_ref<const std::string&>().empty();
        case Json::value_t::array:
        case Json::value_t::object: return v.empty();
        default: return false;
    }
}

bool is_number(const Json& v) { return v.is_number() || v.is_boolean(); }

double number_value(const Json& v) {
    if (v.is_boolean()) return v.get<bool>() ? 1.0 : 0.0;
    return v.get<double>();
}

std::int64_t to_int(const Json& v) {
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            throw ConversionError("integer out of range: " + v.dump());
        return static_cast<std::int64_t>(u);
    }
    if (v.is_number_integer()) return v.get<std::int64_t>();
    if (v.is_number_float()) return checked_trunc(v.get<double>());
    if (v.is_string()) {
        // An optional sign, then decimal digits only.
        const std::string t = text::trim(v.get<std::string>());
        const size_t start = !t.empty() && (t[0] == '+' || t[0] == '-') ? 1 : 0;
        const bool digits = t.size() > start && t.find_first_not_of("0123456789", start) == std::string::npos;
        if (!digits) throw ConversionError("invalid literal for int() with base 10: " + shown(v));
        std::int64_t n = 0;
        const char* first = t.data() + (t[0] == '+' ? 1 : 0);
        auto [p, ec] = std::from_chars(first, t.data() + t.size(), n);
        if (ec != std::errc()) throw ConversionError("integer out of range: " + shown(v));
        return n;
    }
    throw ConversionError("int() argument must be a string or a real number, not '" + type_name(v) + "'");
}

double to_real(const Json& v) {
    if (is_number(v)) return number_value(v);
    if (v.is_string()) {
        // An optional sign, then what from_chars reads as a decimal number (digits,
        // fraction, exponent, "inf", "nan"), and nothing else.
        const std::string t = text::trim(v.get<std::string>());
        const size_t skip = !t.empty() && t[0] == '+' ? 1 : 0;
        const char* first = t.data() + skip;
        const char* end = t.data() + t.size();
        double d = 0;
        auto [p, ec] = first == end || *first == '+' ? std::from_chars_result{first, std::errc::invalid_argument}
                                                     : std::from_chars(first, end, d);
        if (p == end && ec == std::errc()) return d;
        if (p == end && ec == std::errc::result_out_of_range) {
            // Beyond the range of a double: infinity for a huge magnitude, zero for a tiny one.
            const bool tiny = text::ascii_lower(t).find("e-") != std::string::npos;
            const double mag = tiny ? 0.0 : HUGE_VAL;
            return *first == '-' ? -mag : mag;
        }
        throw ConversionError("could not convert string to float: " + shown(v));
    }
    throw ConversionError("float() argument must be a string or a real number, not '" + type_name(v) + "'");
}

std::string to_text(const Json& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_boolean()) return v.get<bool>() ? "True" : "False";
    if (v.is_null()) return "None";
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (std::isnan(d)) return "nan";
        if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
        char buf[64];
        const double mag = std::fabs(d);
        const bool fixed = mag == 0 || (mag >= 1e-4 && mag < 1e16);
        auto [end, ec] = fixed ? std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed)
                               : std::to_chars(buf, buf + sizeof buf, d);
        std::string out(buf, ec == std::errc() ? end : buf);
        if (out.find_first_of(".en") == std::string::npos) out += ".0";
        return out;
    }
    return dump_json(v);
}

}  // namespace droidlens::values
