#include "modes/common.hpp"

#include <droidlens/errors.hpp>
#include <droidlens/modelwire.hpp>

#include "device/capture.hpp"
#include "model/answer.hpp"
#include "utils/image.hpp"
#include "utils/values.hpp"

#include <algorithm>
#include <utility>

namespace droidlens::common {

Json text_message(const std::string& role, const std::string& text) {
    Json part = Json::object();
    part["type"] = "text";
    part["text"] = text;
    Json message = Json::object();
    message["role"] = role;
    message["content"] = Json::array({std::move(part)});
    return message;
}

Json forced_tool_choice(const std::string& tool_name) {
    Json function = Json::object();
    function["name"] = tool_name;
    Json choice = Json::object();
    choice["type"] = "function";
    choice["function"] = std::move(function);
    return choice;
}

ImageMessages _build_image_messages(const std::vector<std::string>& image_paths, std::int64_t image_quality,
                                    double resize_factor, std::int64_t max_side) {
    ImageMessages out;
    for (const std::string& path : image_paths) {
        image::EncodedImage encoded = image::encode_image(path, image_quality, resize_factor, max_side);
        out.dimensions.push_back({encoded.width, encoded.height});
        out.sent.push_back({encoded.sent_width, encoded.sent_height});

        Json label = Json::object();
        label["type"] = "text";
        label["text"] = "Screenshot (page=" + std::to_string(out.messages.size() + 1) + "):";
        Json url = Json::object();
        url["url"] = "data:image/png;base64," + std::move(encoded.b64);
        Json picture = Json::object();
        picture["type"] = "image_url";
        picture["image_url"] = std::move(url);
        Json message = Json::object();
        message["role"] = "user";
        message["content"] = Json::array({std::move(label), std::move(picture)});
        out.messages.push_back(std::move(message));
    }
    return out;
}

Json _extract_tool_args(const Json& response, const std::string& tool_name) {
    return answer::tool_arguments(response, tool_name, answer::tool_keys(tool_name));
}

Json box_in_our_frame(const Json& box, const ChatModel& llm, const ImageMessages& images, const Json& page) {
    const frames::Frame frame = frames::parse_frame(llm.answer_profile().coordinates);
    if (frame == frames::Frame::kRel1000 || images.sent.empty()) return box;
    std::int64_t index = 0;
    try {
        index = std::clamp<std::int64_t>(values::to_int(page) - 1, 0, static_cast<std::int64_t>(images.sent.size()) - 1);
    } catch (const ConversionError&) {
        // The page is reported where it is read; the first page's size converts the box.
    }
    return frames::box_to_ours(box, frame, images.sent[static_cast<size_t>(index)]);
}

ChatModel& require_model(const ModeArgs& args, const char* mode) {
    if (args.llm == nullptr) throw UsageError(std::string("Mode '") + mode + "' needs a model client, but none was given");
    return *args.llm;
}

std::vector<std::string> screenshots_or_capture(const ModeArgs& args) {
    if (!args.image_paths.empty()) return args.image_paths;
    adb::Device device(args.device_id, args.display_id);
    return {capture::capture_screenshot_to_file(device, args.output_dir).file_path};
}

std::int64_t answer_int(const Json& value, const std::string& what) {
    try {
        return values::to_int(value);
    } catch (const ConversionError& e) {
        throw ConversionError("Invalid " + what + " in the model's answer: " + e.what());
    }
}

double answer_real(const Json& value, const std::string& what) {
    try {
        return values::to_real(value);
    } catch (const ConversionError& e) {
        throw ConversionError("Invalid " + what + " in the model's answer: " + e.what());
    }
}

}  // namespace droidlens::common
