#include "utils/xml.hpp"

#include "utils/text.hpp"

#include <droidlens/errors.hpp>

#include <pugixml.hpp>

#include <algorithm>
#include <cstring>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

namespace droidlens::xml {

namespace {

// Areas of bounds whose corners are anywhere in the 64-bit range.
__extension__ typedef __int128 Area;

// "at offset N (line L, column C)" for a byte offset of `text`; line and column count
// from 1, the column in characters.
std::string position_text(std::string_view text, std::size_t offset) {
    if (offset > text.size()) offset = text.size();
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < offset; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            ++line;
            column = 1;
        } else if ((c & 0xC0) != 0x80) {
            ++column;
        }
    }
    return "at offset " + std::to_string(offset) + " (line " + std::to_string(line) + ", column " +
           std::to_string(column) + ")";
}

[[noreturn]] void malformed(std::string_view text, const std::string& complaint, std::size_t offset) {
    throw ValueError("Malformed UI hierarchy XML: " + complaint + " " + position_text(text, offset));
}

// Offset of the first byte that does not start well-formed UTF-8, or npos. Runs of
// ASCII are skipped eight bytes at a time: dumps are mostly ASCII markup.
std::size_t invalid_utf8_at(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        if (i + 8 <= s.size()) {
            std::uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            if ((w & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        const std::size_t len = text::utf8_sequence_length(s.substr(i));
        if (len == 0) return i;
        i += len;
    }
    return std::string_view::npos;
}

pugi::xml_node element_from(pugi::xml_node node) {
    while (node && node.type() != pugi::node_element) node = node.next_sibling();
    return node;
}

bool is_blank(const char* s) {
    for (; *s; ++s)
        if (*s != ' ' && *s != '\t' && *s != '\n' && *s != '\r') return false;
    return true;
}

// The attributes of an element as a node record, in document order. Names are
// compared with each other only when a cheap signature (length and end characters)
// repeats, so the duplicate check costs little on elements with many attributes.
// `display_id` is set to the element's display ("0" without a display-id).
Json node_record(const pugi::xml_node& element, std::string_view text, const char* buffer,
                 std::string_view& display_id) {
    display_id = "0";
    Json record = Json::object();
    auto& fields = record.get_ref<Json::object_t&>();
    std::size_t count = 0;
    for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute()) ++count;
    fields.reserve(count);
    std::uint64_t signatures = 0;
    for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute()) {
        const std::string_view name = a.name();
        if (name.empty()) continue;  // not produced by the parser; nothing to record
        const auto bit = std::uint64_t(1) << ((name.size() * 7 + static_cast<unsigned char>(name.front()) * 3 +
                                               static_cast<unsigned char>(name.back())) &
                                              63);
        if (signatures & bit) {
            for (const auto& field : fields)
                if (field.first == name)
                    malformed(text, "duplicate attribute '" + std::string(name) + "'",
                              static_cast<std::size_t>(name.data() - buffer));
        }
        signatures |= bit;
        fields.emplace_back(std::piecewise_construct, std::forward_as_tuple(name), std::forward_as_tuple(a.value()));
        if (name == "display-id") display_id = a.value();
    }
    return record;
}

// The records of one display, in document order.
struct Group {
    std::string display_id;
    Json nodes = Json::array();
};

}  // namespace

std::optional<Bounds> parse_bounds(std::string_view s) {
    // The pairs of "\[(\d+),(\d+)\]", found left to right without overlap.
    Bounds out{};
    int pairs = 0;
    auto number = [&](std::size_t& i, std::int64_t& value, bool& fits) {
        const std::size_t start = i;
        value = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            const int d = s[i] - '0';
            if (value > (std::numeric_limits<std::int64_t>::max() - d) / 10) fits = false;
            else value = value * 10 + d;
            ++i;
        }
        return i > start;
    };
    bool fits = true;
    std::size_t i = 0;
    while (i < s.size()) {
        if (s[i] != '[') {
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        std::int64_t a = 0, b = 0;
        if (number(j, a, fits) && j < s.size() && s[j] == ',' && number(++j, b, fits) && j < s.size() &&
            s[j] == ']') {
            if (++pairs > 2) return std::nullopt;
            out[2 * (pairs - 1)] = a;
            out[2 * (pairs - 1) + 1] = b;
            i = j + 1;
        } else {
            ++i;
        }
    }
    if (pairs != 2 || !fits) return std::nullopt;
    return out;
}

Json parse_hierarchy_xml_json(std::string_view xml_text) {
    if (const std::size_t bad = invalid_utf8_at(xml_text); bad != std::string_view::npos)
        malformed(xml_text, "invalid UTF-8", bad);

    // Parsed in place in a copy, so that names point into it and their offsets are
    // known (duplicate attributes are reported where they stand).
    std::string buffer(xml_text);
    pugi::xml_document doc;
    // As a fragment, text outside the root is kept and can be refused below.
    const pugi::xml_parse_result parsed = doc.load_buffer_inplace(
        buffer.data(), buffer.size(), pugi::parse_default | pugi::parse_fragment, pugi::encoding_utf8);
    if (!parsed) malformed(xml_text, parsed.description(), static_cast<std::size_t>(parsed.offset));

    pugi::xml_node root;
    for (pugi::xml_node top = doc.first_child(); top; top = top.next_sibling()) {
        const auto at = static_cast<std::size_t>(std::max<std::ptrdiff_t>(top.offset_debug(), 0));
        if (top.type() == pugi::node_element) {
            if (root) malformed(xml_text, "a second document element", at);
            root = top;
        } else if ((top.type() == pugi::node_pcdata || top.type() == pugi::node_cdata) && !is_blank(top.value())) {
            malformed(xml_text, "text outside the document element", at);
        }
    }
    if (!root) malformed(xml_text, "No document element found", xml_text.size());

    std::vector<Group> groups;
    Group* last = nullptr;  // most elements share the display of the one before
    auto group_of = [&](std::string_view id) -> Json& {
        if (last && last->display_id == id) return last->nodes;
        for (auto& g : groups)
            if (g.display_id == id) return (last = &g)->nodes;
        groups.push_back(Group{std::string(id)});
        return (last = &groups.back())->nodes;
    };

    // Pre-order walk along the tree's own links: no recursion, so depth costs no stack.
    pugi::xml_node node = element_from(root.first_child());
    std::size_t depth = 1;
    while (node) {
        std::string_view display_id;
        Json record = node_record(node, xml_text, buffer.data(), display_id);
        group_of(display_id).push_back(std::move(record));

        if (const pugi::xml_node child = element_from(node.first_child())) {
            if (++depth > kMaxDepth)
                malformed(xml_text, "elements nested deeper than " + std::to_string(kMaxDepth) + " levels",
                          static_cast<std::size_t>(child.offset_debug()));
            node = child;
            continue;
        }
        while (node) {
            if (const pugi::xml_node sibling = element_from(node.next_sibling())) {
                node = sibling;
                break;
            }
            node = node.parent();
            --depth;
            if (node == root) node = pugi::xml_node();
        }
    }

    Json out = Json::object();
    for (auto& g : groups) out.emplace(std::move(g.display_id), std::move(g.nodes));
    return out;
}

const Json* find_nodes_by_center_point(const Json& nodes_json, std::int64_t center_x, std::int64_t center_y,
                                       const std::string& display_id) {
    if (!nodes_json.is_object()) return nullptr;
    const auto list = nodes_json.find(display_id);
    if (list == nodes_json.end() || !list->is_array()) return nullptr;

    const Json* best = nullptr;
    Area best_area = 0;
    for (const Json& node : *list) {
        if (!node.is_object()) continue;
        const auto b = node.find("bounds");
        if (b == node.end() || !b->is_string()) continue;
        const auto bounds = parse_bounds(b->get_ref<const std::string&>());
        if (!bounds) continue;
        const auto [x1, y1, x2, y2] = *bounds;
        if (x1 > center_x || center_x > x2 || y1 > center_y || center_y > y2) continue;
        // Contained, so x2 >= x1 and y2 >= y1: the differences cannot overflow.
        const Area area = Area(x2 - x1) * Area(y2 - y1);
        // Strictly smaller only: of equal areas the first in list order stays.
        if (!best || area < best_area) {
            best = &node;
            best_area = area;
        }
    }
    return best;
}

}  // namespace droidlens::xml
