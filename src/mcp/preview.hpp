// Images that go back to the client inside a tool result: an annotated image or a
// screenshot, scaled down and encoded as PNG so that one result stays well under the
// size clients accept for a tool result (1 MB in common desktop clients), with the
// Base64 text that the image content carries.
#pragma once

#include <cstddef>
#include <string>

namespace droidlens::mcp {

struct PreviewLimits {
    // The longer side of an image sent to the client, in pixels. A 1080 x 2400 phone
    // screen becomes 461 x 1024: UI text stays readable for the calling model (whose
    // own image input is scaled to about this size anyway), and a typical annotated
    // screen encodes to 100-400 KB of PNG. 0 sends no images at all.
    int max_edge = 1024;
    // The PNG bytes all images of one result may take together; an image over its
    // share is scaled down further (Base64 adds a third, so 600 KiB of PNG is 800 KiB
    // of text). Photo-like screens need this, flat UI screens rarely do.
    std::size_t max_total_bytes = 600 * 1024;
};

struct Preview {
    std::string png;  // the encoded image
    int width = 0;    // its size
    int height = 0;
    int source_width = 0;  // the size of the file it was made from
    int source_height = 0;
};

// The image file at `path` scaled so that its longer side is at most
// `limits.max_edge` (never scaled up), and further by steps of 3/4 until the PNG
// takes at most `max_bytes` (or the longer side reaches 64 pixels). Throws the
// loader's FileSystemError / ImageError for a missing or undecodable file.
Preview make_preview(const std::string& path, int max_edge, std::size_t max_bytes);

}  // namespace droidlens::mcp
