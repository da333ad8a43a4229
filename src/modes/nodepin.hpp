// The "nodepin" mode: the model points at the element the request names on a fresh
// screenshot, and the answer is the device's own UI hierarchy node under the centre
// of the model's box (its attributes as the hierarchy dump gives them).
#pragma once

#include <droidlens/json.hpp>
#include <droidlens/route.hpp>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace droidlens {
class ChatModel;
}

namespace droidlens::nodepin {

// The node's device-pixel bounds in the 0-1000 space the annotation takes, each
// coordinate floor(v * 1000 / extent) in exact integer arithmetic. `width` and
// `height` must be positive.
std::array<std::int64_t, 4> node_box_relative(const std::array<std::int64_t, 4>& bounds, std::int64_t width,
                                              std::int64_t height);

// Mode entry. Always works on a new screenshot of the device (given image files are
// ignored): captures it into output_dir, dumps the hierarchy of the same device,
// asks the model through locate_element (drawing nothing itself) and looks up the
// smallest node of the requested display ("0" without --display-id) containing the
// centre of the model's box. Returns the node's attributes in their order, then
// "mode" = "nodepin", then "annotated_image_path" (the node drawn on the screenshot,
// when its bounds parse and the drawing succeeded) and "xml_file_path" (the dump as
// <screenshot stem>_nodepin.xml) when output_dir is not empty. No node under the
// point is not an error: the record then holds only "mode" and "xml_file_path".
// Device, dump, parsing and model errors propagate.
Json run(const ModeArgs& args);

// The mode's work on the host once the screenshot file and its hierarchy dump are
// there: parse, ask the model, look the node up, draw it and keep the dump.
Json pin_node(ChatModel& llm, const std::string& prompt, const std::string& image_path, const std::string& xml_text,
              std::optional<std::int64_t> display_id, const std::string& output_dir);

}  // namespace droidlens::nodepin
