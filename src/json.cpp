#include <droidlens/json.hpp>

#include <algorithm>

namespace droidlens {

std::string type_name(const Json& value) {
    switch (value.type()) {
        case Json::value_t::string: return "str";
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned: return "int";
        case Json::value_t::number_float: return "float";
        case Json::value_t::boolean: return "bool";
        case Json::value_t::array: return "list";
        case Json::value_t::object: return "dict";
        case Json::value_t::binary: return "bytes";
        default: return "NoneType";
    }
}

std::string dump_json(const Json& value, int indent) {
    return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

namespace {
void dump_spaced(const Json& v, std::string& out) {
    if (v.is_object()) {
        out += '{';
        bool first = true;
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (!first) out += ", ";
            first = false;
            out += Json(it.key()).dump(-1, ' ', false, Json::error_handler_t::replace);
            out += ": ";
            dump_spaced(it.value(), out);
        }
        out += '}';
    } else if (v.is_array()) {
        out += '[';
        bool first = true;
        for (const auto& e : v) {
            if (!first) out += ", ";
            first = false;
            dump_spaced(e, out);
        }
        out += ']';
    } else {
        out += v.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
}
bool is_container(const Json& v) { return v.is_object() || v.is_array(); }

void dump_pretty(const Json& v, int depth, std::string& out) {
    const std::string pad(static_cast<size_t>(2 * (depth + 1)), ' ');
    const std::string close_pad(static_cast<size_t>(2 * depth), ' ');
    if (v.is_object() && !v.empty()) {
        out += "{\n";
        bool first = true;
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (!first) out += ",\n";
            first = false;
            out += pad;
            out += Json(it.key()).dump(-1, ' ', false, Json::error_handler_t::replace);
            out += ": ";
            dump_pretty(it.value(), depth + 1, out);
        }
        out += "\n" + close_pad + "}";
    } else if (v.is_array() && std::any_of(v.begin(), v.end(), is_container)) {
        out += "[\n";
        bool first = true;
        for (const auto& e : v) {
            if (!first) out += ",\n";
            first = false;
            out += pad;
            dump_pretty(e, depth + 1, out);
        }
        out += "\n" + close_pad + "]";
    } else {
        dump_spaced(v, out);  // a plain value, an empty container or a list of plain values
    }
}

}  // namespace

std::string dump_json_pretty(const Json& value) {
    std::string out;
    dump_pretty(value, 0, out);
    return out;
}

std::string dump_json_spaced(const Json& value) {
    std::string out;
    dump_spaced(value, out);
    return out;
}

}  // namespace droidlens
