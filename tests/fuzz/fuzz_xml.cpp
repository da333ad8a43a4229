// UI hierarchy dumps: parse_hierarchy_xml_json must give node records by display or
// throw ValueError, whatever the bytes; the node lookup must accept any record set
// it produced at any point, and parse_bounds any attribute text. The last 16 bytes
// of a large enough input choose the looked-up point; the rest is the XML.
#include <droidlens/errors.hpp>

#include "utils/xml.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::int64_t x = 10, y = 10;
    std::size_t xml_size = size;
    if (size >= 32) {
        std::memcpy(&x, data + size - 16, 8);
        std::memcpy(&y, data + size - 8, 8);
        if (data[0] & 1) {  // half the time a point on a screen, so that nodes are found
            x = static_cast<std::int64_t>(static_cast<std::uint64_t>(x) % 3000);
            y = static_cast<std::int64_t>(static_cast<std::uint64_t>(y) % 3000);
        }
        xml_size = size - 16;
    }
    const std::string_view xml(reinterpret_cast<const char*>(data), xml_size);
    (void)droidlens::xml::parse_bounds(xml.substr(0, 64));
    droidlens::Json nodes;
    try {
        nodes = droidlens::xml::parse_hierarchy_xml_json(xml);
    } catch (const droidlens::ValueError&) {
        return 0;
    }
    if (!nodes.is_object()) __builtin_trap();
    for (auto it = nodes.begin(); it != nodes.end(); ++it) {
        const droidlens::Json* hit = droidlens::xml::find_nodes_by_center_point(nodes, x, y, it.key());
        if (hit != nullptr) {
            const auto bounds = droidlens::xml::parse_bounds(hit->value("bounds", ""));
            // The chosen node contains the point, edges included.
            if (!bounds || x < std::min((*bounds)[0], (*bounds)[2]) || x > std::max((*bounds)[0], (*bounds)[2]))
                __builtin_trap();
        }
        for (const droidlens::Json& node : it.value())
            if (node.contains("bounds") && node["bounds"].is_string())
                (void)droidlens::xml::parse_bounds(node["bounds"].get<std::string>());
    }
    (void)droidlens::xml::find_nodes_by_center_point(nodes, x, y, "no such display");
    return 0;
}
