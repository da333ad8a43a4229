// The UI hierarchy dump of a device (uiautomator's window dump XML) as plain records:
// every element's attributes, grouped by the display the element is on, and the
// smallest node under a screen point.
#pragma once

#include <droidlens/json.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace droidlens::xml {

// (x1, y1, x2, y2) in device pixels: left-top corner, then right-bottom corner.
using Bounds = std::array<std::int64_t, 4>;

// Elements may nest this deep below the document element; deeper documents are
// refused (real dumps stay far below a hundred levels).
inline constexpr std::size_t kMaxDepth = 1000;

// Reads a bounds attribute such as "[0,0][1080,2400]": the non-overlapping
// "[digits,digits]" pairs, left to right, must be exactly two. Absent otherwise
// (one pair, three pairs, a minus sign, a blank or a decimal point inside a pair
// keeps that pair from counting) and when a number does not fit in 64 bits. No
// ordering is enforced: x2 may be smaller than x1.
std::optional<Bounds> parse_bounds(std::string_view bounds_str);

// Flattens the dump into nodes by display: {"0": [node, ...], "2": [...]}, one node
// record per element below the document element, in document order (an element
// before its descendants). A node record holds every attribute of its element, names
// and values as they stand in the XML (entities decoded), in document order; the
// element's tag, text and children are not part of it. The display of an element is
// its own "display-id" attribute, "0" without one; the keys appear in order of first
// occurrence.
//
// Throws ValueError "Malformed UI hierarchy XML: <the parser's complaint> at offset N
// (line L, column C)" for text that is not one well-formed XML document (empty,
// truncated, mismatched tags, a second root, text outside the root, a duplicate
// attribute, bytes that are not UTF-8), and for elements nested deeper than kMaxDepth
// below the root. No partial result is returned.
Json parse_hierarchy_xml_json(std::string_view xml_text);

// The smallest node of display `display_id` whose bounds contain the point, edges
// included on both axes; of nodes with equal area the first in list order (so a
// parent wins over a child with the same bounds). Returns a pointer to the record
// held in `nodes_json` (valid while it is unchanged), or null when the display is not
// in the mapping or no node contains the point. Nodes without readable bounds, and
// entries that are not node records, are never chosen.
const Json* find_nodes_by_center_point(const Json& nodes_json, std::int64_t center_x, std::int64_t center_y,
                                       const std::string& display_id = "0");

}  // namespace droidlens::xml
