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

}  // namespace droidlens::text
