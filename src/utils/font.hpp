// A small bitmap font for the notes drawn onto images: printable ASCII in cells of
// 5 x 8 pixels (rows 0-6 hold capitals and digits, row 7 the descenders), set 6
// pixels apart. Drawn without antialiasing, so every inked pixel has the text colour.
#pragma once

#include <array>
#include <cstdint>

namespace droidlens::font {

constexpr int kGlyphWidth = 5, kGlyphHeight = 8, kAdvance = 6;

// One glyph: a bit mask per row, bit 4 the leftmost column.
using Glyph = std::array<std::uint8_t, kGlyphHeight>;

// The glyph of a character code; anything outside printable ASCII draws as '?'.
const Glyph& glyph(std::uint32_t code);

}  // namespace droidlens::font
