#include "model/frames.hpp"

#include <droidlens/errors.hpp>

#include <algorithm>
#include <array>
#include <cmath>

namespace droidlens::frames {

namespace {

bool all_numbers(const Json& v, std::size_t n) {
    if (!v.is_array() || v.size() != n) return false;
    return std::all_of(v.begin(), v.end(), [](const Json& x) { return x.is_number() && std::isfinite(x.get<double>()); });
}

// One value on an axis whose extent in the model's frame is `span`, into 0-1000.
double to_ours(double value, double span) {
    const double v = span > 0 ? value / span * 1000.0 : 0.0;
    return std::clamp(v, 0.0, 1000.0);
}

// The extent of the x and y axes in the model's frame.
std::array<double, 2> spans(Frame frame, SentSize sent) {
    switch (frame) {
        case Frame::kPixels: return {static_cast<double>(sent.width), static_cast<double>(sent.height)};
        case Frame::kRel1: return {1.0, 1.0};
        default: return {1000.0, 1000.0};
    }
}

}  // namespace

Frame parse_frame(const std::string& name) {
    if (name == "rel1000") return Frame::kRel1000;
    if (name == "rel1000-yx") return Frame::kRel1000YX;
    if (name == "pixels") return Frame::kPixels;
    if (name == "rel1") return Frame::kRel1;
    throw UsageError("Invalid coordinates: '" + name + "' (expected rel1000, rel1000-yx, pixels or rel1)");
}

Json box_to_ours(const Json& box, Frame frame, SentSize sent) {
    if (frame == Frame::kRel1000 || !all_numbers(box, 4)) return box;
    double x1 = box[0].get<double>(), y1 = box[1].get<double>(), x2 = box[2].get<double>(), y2 = box[3].get<double>();
    if (frame == Frame::kRel1000YX) {
        std::swap(x1, y1);
        std::swap(x2, y2);
    }
    const auto [sx, sy] = spans(frame, sent);
    x1 = to_ours(x1, sx), x2 = to_ours(x2, sx), y1 = to_ours(y1, sy), y2 = to_ours(y2, sy);
    return Json::array({std::min(x1, x2), std::min(y1, y2), std::max(x1, x2), std::max(y1, y2)});
}

Json point_to_ours(const Json& point, Frame frame, SentSize sent) {
    if (frame == Frame::kRel1000 || !all_numbers(point, 2)) return point;
    double x = point[0].get<double>(), y = point[1].get<double>();
    if (frame == Frame::kRel1000YX) std::swap(x, y);
    const auto [sx, sy] = spans(frame, sent);
    return Json::array({to_ours(x, sx), to_ours(y, sy)});
}

}  // namespace droidlens::frames
