// Small text helpers shared by the modules that read device output and model text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace droidlens::text {

// ASCII white space as a dynamic language's str.split() and str.strip() see it:
// blank, \t \n \v \f \r, and the separators 0x1c-0x1f.
inline bool is_space(char c) {
    const auto u = static_cast<unsigned char>(c);
    return c == ' ' || (u >= '\t' && u <= '\r') || (u >= 0x1c && u <= 0x1f);
}

// `s` without leading and trailing white space.
inline std::string_view strip(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && is_space(s[b])) ++b;
    while (e > b && is_space(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// strip() as a new string.
inline std::string trim(std::string_view s) { return std::string(strip(s)); }

inline std::string ascii_lower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// Index of the code point that starts at byte `pos` of UTF-8 text: the position a
// reader counting characters sees.
inline std::size_t char_index(std::string_view text, std::size_t pos) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < pos && i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++n;
    }
    return n;
}

// Length in bytes of the well-formed UTF-8 sequence at the start of `s` (1 to 4), or
// 0 when it is not one: a stray continuation byte, a cut-off sequence, an overlong
// form, a surrogate or a code point above U+10FFFF.
inline std::size_t utf8_sequence_length(std::string_view s) {
    if (s.empty()) return 0;
    const auto c = static_cast<unsigned char>(s[0]);
    if (c < 0x80) return 1;
    const std::size_t len = (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
    if (len == 0 || len > s.size() || (len == 2 && c < 0xc2) || (len == 4 && c > 0xf4)) return 0;
    for (std::size_t k = 1; k < len; ++k)
        if ((static_cast<unsigned char>(s[k]) & 0xc0) != 0x80) return 0;
    const auto c1 = static_cast<unsigned char>(s[1]);
    if (len == 3 && ((c == 0xe0 && c1 < 0xa0) || (c == 0xed && c1 >= 0xa0))) return 0;  // overlong, surrogate
    if (len == 4 && ((c == 0xf0 && c1 < 0x90) || (c == 0xf4 && c1 >= 0x90))) return 0;  // overlong, > U+10FFFF
    return len;
}

// Byte offset of the first byte that does not start a well-formed UTF-8 sequence,
// or npos when the whole text is valid UTF-8.
inline std::size_t find_invalid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const std::size_t len = utf8_sequence_length(s.substr(i));
        if (len == 0) return i;
        i += len;
    }
    return std::string_view::npos;
}

}  // namespace droidlens::text
