// Coordinate frames of grounding models. droidlens speaks 0-1000 relative [x1, y1,
// x2, y2] of the unscaled image; models answer in frames of their own (Gemini puts y
// first, Qwen2.5-VL and GPT answer pixels of the image they were sent, some answer
// 0-1). Answers are converted here, where they are read, so that records, drawings
// and taps stay in one frame.
#pragma once

#include <droidlens/json.hpp>

#include <cstdint>
#include <string>

namespace droidlens::frames {

enum class Frame {
    kRel1000,    // [x1, y1, x2, y2], 0-1000 per axis (ours)
    kRel1000YX,  // [y1, x1, y2, x2], 0-1000 per axis
    kPixels,     // pixels of the image as the model was sent it
    kRel1,       // 0-1 per axis
};

// "rel1000", "rel1000-yx", "pixels", "rel1"; UsageError for anything else.
Frame parse_frame(const std::string& name);

// The size of the image as the model saw it, for Frame::kPixels.
struct SentSize {
    std::int64_t width = 0;
    std::int64_t height = 0;
};

// A box the model gave in `frame`, as our [x1, y1, x2, y2] in 0-1000: converted,
// clamped into 0-1000 and with swapped corners put in order. In our own frame the
// box is returned as it is. Anything that is not four numbers is returned as it is:
// the readers report it.
Json box_to_ours(const Json& box, Frame frame, SentSize sent);

// A point [x, y] (or [y, x] in the y-first frame) the same way.
Json point_to_ours(const Json& point, Frame frame, SentSize sent);

}  // namespace droidlens::frames
