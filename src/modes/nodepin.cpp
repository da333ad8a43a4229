#include "modes/nodepin.hpp"

#include <droidlens/errors.hpp>

#include "device/adb/viewtree.hpp"
#include "device/capture.hpp"
#include "modes/locate.hpp"
#include "utils/fs.hpp"
#include "utils/image.hpp"
#include "utils/xml.hpp"

#include <algorithm>
#include <limits>

namespace droidlens::nodepin {

namespace {

__extension__ typedef __int128 Wide;  // exact for the product of two 64-bit values

// floor(a * 1000 / b) for b > 0, without overflow for any 64-bit a.
std::int64_t scaled_floor(std::int64_t a, std::int64_t b) {
    const Wide n = static_cast<Wide>(a) * 1000;
    Wide q = n / b;
    if (n % b != 0 && n < 0) --q;  // division truncates toward zero; floor goes down
    const Wide lo = std::numeric_limits<std::int64_t>::min();
    const Wide hi = std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(std::clamp(q, lo, hi));
}

}  // namespace

std::array<std::int64_t, 4> node_box_relative(const std::array<std::int64_t, 4>& b, std::int64_t width,
                                              std::int64_t height) {
    return {scaled_floor(b[0], width), scaled_floor(b[1], height), scaled_floor(b[2], width),
            scaled_floor(b[3], height)};
}

Json run(const ModeArgs& args) {
    ChatModel& llm = common::require_model(args, "nodepin");

    // One device for the capture and the dump: the dump reads the serial the capture
    // resolved even when the caller named none.
    adb::Device device(args.device_id, args.display_id);
    const capture::CapturedScreenshot shot = capture::capture_screenshot_to_file(device, args.output_dir);
    const std::string xml_text = device.dump_hierarchy();
    return pin_node(llm, args.prompt, shot.file_path, xml_text, args.display_id, args.output_dir);
}

Json pin_node(ChatModel& llm, const std::string& prompt, const std::string& image_path, const std::string& xml_text,
              std::optional<std::int64_t> display_id, const std::string& output_dir) {
    const std::vector<std::string> image_paths = {image_path};
    const Json nodes_json = xml::parse_hierarchy_xml_json(xml_text);

    const Json visual = locate::locate_element(llm, prompt, image_paths, 95, 1.0, std::nullopt);

    const Json dimensions = visual.contains("image_dimensions") ? visual["image_dimensions"] : Json::array();
    std::int64_t page = visual.contains("page") ? common::answer_int(visual["page"], "page") : 1;
    page = std::max<std::int64_t>(page, 1);
    const std::int64_t last = std::max<std::int64_t>(static_cast<std::int64_t>(dimensions.size()) - 1, 0);
    const std::int64_t page_idx = std::min(page - 1, last);
    if (!dimensions.is_array() || page_idx >= static_cast<std::int64_t>(dimensions.size())) {
        throw IndexError("list index out of range");
    }
    const Json& size = dimensions[static_cast<size_t>(page_idx)];
    const std::int64_t width = size.at(0).get<std::int64_t>();
    const std::int64_t height = size.at(1).get<std::int64_t>();

    const Json visual_box = visual.contains("bounding_box") ? visual["bounding_box"] : Json::array({0, 0, 0, 0});
    const image::PixelBox px = image::to_absolute_box(visual_box, width, height);
    // Truncation toward zero of the midpoint, taken in double as the box's own
    // arithmetic does (10 and 15 give 12).
    const auto center_x = static_cast<std::int64_t>((static_cast<double>(px[0]) + static_cast<double>(px[2])) / 2.0);
    const auto center_y = static_cast<std::int64_t>((static_cast<double>(px[1]) + static_cast<double>(px[3])) / 2.0);

    const std::string display_key = display_id ? std::to_string(*display_id) : "0";
    const Json* matched = xml::find_nodes_by_center_point(nodes_json, center_x, center_y, display_key);

    Json result = matched != nullptr ? *matched : Json::object();
    result["mode"] = "nodepin";
    if (output_dir.empty()) return result;

    if (matched != nullptr && width > 0 && height > 0) {
        const Json* bounds_attr = matched->contains("bounds") ? &(*matched)["bounds"] : nullptr;
        const std::string bounds_text = bounds_attr != nullptr && bounds_attr->is_string() ? bounds_attr->get<std::string>() : "";
        if (const std::optional<xml::Bounds> bounds = xml::parse_bounds(bounds_text)) {
            const std::array<std::int64_t, 4> box = node_box_relative(*bounds, width, height);
            try {
                result["annotated_image_path"] =
                    image::annotate_image(image_paths[static_cast<size_t>(page_idx)],
                                          Json::array({box[0], box[1], box[2], box[3]}), width, height,
                                          output_dir);
            } catch (const FileSystemError&) {
                // The drawn copy is optional; the node itself is the answer.
            }
        }
    }

    const std::string xml_path = fs::join(output_dir, fs::stem(image_paths[0]) + "_nodepin.xml");
    fs::write_file(xml_path, xml_text);
    result["xml_file_path"] = xml_path;
    return result;
}

}  // namespace droidlens::nodepin
