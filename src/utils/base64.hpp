// Standard Base64 (RFC 4648 alphabet, with padding, no line breaks).
#pragma once

#include <string>
#include <string_view>

namespace droidlens::base64 {

std::string encode(std::string_view bytes);

// Decodes Base64 text. Characters outside the alphabet (line breaks, blanks, ...)
// are skipped; wrong padding throws DecodeError ("Incorrect padding").
std::string decode(std::string_view text);

}  // namespace droidlens::base64
