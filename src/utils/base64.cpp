#include "utils/base64.hpp"

#include <droidlens/errors.hpp>

#include <openssl/evp.h>

#include <array>

namespace droidlens::base64 {

std::string encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    if (!bytes.empty()) {
        // EVP_EncodeBlock takes an int length; encode in blocks that fit.
        constexpr size_t kBlock = 3 * (1 << 26);
        size_t in_pos = 0, out_pos = 0;
        while (in_pos < bytes.size()) {
            size_t n = std::min(kBlock, bytes.size() - in_pos);
            int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + out_pos),
                                          reinterpret_cast<const unsigned char*>(bytes.data() + in_pos),
                                          static_cast<int>(n));
            in_pos += n;
            out_pos += static_cast<size_t>(written);
        }
    }
    return out;
}

namespace {
constexpr std::array<signed char, 256> make_table() {
    std::array<signed char, 256> t{};
    for (auto& v : t) v = -1;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    return t;
}
constexpr auto kTable = make_table();
}  // namespace

std::string decode(std::string_view text) {
    // Like the lenient decoders of common standard libraries: skip characters outside
    // the alphabet, stop at the first complete padded quad, and reject input whose
    // length does not come out to whole quads.
    std::string out;
    out.reserve(text.size() / 4 * 3);
    unsigned int acc = 0;
    int quad = 0;     // symbols in the current quad
    int pads = 0;     // '=' seen in the current quad
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == '=') {
            if (quad >= 2) {
                ++pads;
                if (quad + pads == 4) {
                    // complete padded quad: emit what it carries and finish
                    if (quad == 2) out.push_back(static_cast<char>((acc >> 4) & 0xFF));
                    else {
                        out.push_back(static_cast<char>((acc >> 10) & 0xFF));
                        out.push_back(static_cast<char>((acc >> 2) & 0xFF));
                    }
                    return out;
                }
            }
            continue;
        }
        int v = kTable[c];
        if (v < 0) continue;
        if (pads > 0) {
            // data after a partial padding run: the padding was not at the end
            pads = 0;
        }
        acc = (acc << 6) | static_cast<unsigned int>(v);
        if (++quad == 4) {
            out.push_back(static_cast<char>((acc >> 16) & 0xFF));
            out.push_back(static_cast<char>((acc >> 8) & 0xFF));
            out.push_back(static_cast<char>(acc & 0xFF));
            acc = 0;
            quad = 0;
        }
    }
    if (quad == 1) {
        throw DecodeError("Invalid base64-encoded string: number of data characters (" +
                          std::to_string(out.size() / 3 * 4 + 1) +
                          ") cannot be 1 more than a multiple of 4");
    }
    if (quad != 0) throw DecodeError("Incorrect padding");
    return out;
}

}  // namespace droidlens::base64
