// The readers of the model's answers. A model client stub returns the fuzzed body
// (or a tool-call body whose arguments text is the fuzzed bytes) to each mode that
// asks the model about screenshots: locate, glyphpin, ocr, and the action mode's
// reading of its forced tool call. Every outcome must be a record or one of the
// library's own errors; anything else escaping (a JSON library exception, a crash)
// is a fault. The first byte chooses the mode and options; the rest is the answer.
#include <droidlens/errors.hpp>
#include <droidlens/modelwire.hpp>

#include "modes/action.hpp"
#include "modes/glyphpin.hpp"
#include "modes/locate.hpp"
#include "modes/ocr.hpp"
#include "utils/fs.hpp"
#include "utils/png.hpp"
#include "utils/raster.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using droidlens::Json;

class ScriptedModel : public droidlens::ChatModel {
public:
    Json reply;

protected:
    Json send_chat(const Json&, const Json&, const Json&, const Json&, const Json&) override { return reply; }
};

// Two small screenshots in a directory of this process, and a place for drawings.
struct Scene {
    std::string dir;
    std::vector<std::string> shots;
};

const Scene& scene() {
    static const Scene s = [] {
        char templ[] = "/tmp/droidlens_fuzz_XXXXXX";
        Scene r;
        r.dir = mkdtemp(templ);
        for (int i = 0; i < 2; ++i) {
            droidlens::image::Raster px(16 + 8 * i, 24 - 8 * i, 3, static_cast<std::uint8_t>(0x40 * (i + 1)));
            r.shots.push_back(droidlens::fs::join(r.dir, "shot" + std::to_string(i) + ".png"));
            droidlens::fs::write_file(r.shots.back(), droidlens::png::encode(px, droidlens::png::Effort::Fast));
        }
        return r;
    }();
    return s;
}

Json tool_call_body(const std::string& tool, const std::string& arguments) {
    Json call = {{"id", "c1"}, {"type", "function"}, {"function", {{"name", tool}, {"arguments", arguments}}}};
    Json message = {{"role", "assistant"}, {"content", nullptr}, {"tool_calls", Json::array({call})}};
    return Json{{"choices", Json::array({{{"index", 0}, {"message", message}}})}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const Scene& s = scene();
    const std::uint8_t options = data[0];
    const std::string answer(reinterpret_cast<const char*>(data + 1), size - 1);
    const int mode = options & 3;
    const bool raw_body = options & 4;
    const bool draw = options & 8;
    const bool anchored = options & 16;
    const std::vector<std::string> pages = (options & 32) ? s.shots : std::vector<std::string>{s.shots[0]};
    const char* tools[] = {"return_target", "return_texts", "return_texts", "perform_action"};

    ScriptedModel llm;
    if (raw_body) {
        // The model client hands on only replies that are JSON objects.
        llm.reply = Json::parse(answer, nullptr, false);
        if (llm.reply.is_discarded() || !llm.reply.is_object()) return 0;
    } else {
        llm.reply = tool_call_body(tools[mode], answer);
    }
    const std::string prompt = anchored ? "the value for NGX" : "the OK button";
    const std::optional<std::string> out = draw ? std::optional<std::string>(s.dir) : std::nullopt;
    try {
        Json record;
        switch (mode) {
            case 0: record = droidlens::locate::locate_element(llm, prompt, pages, 95, 1.0, out); break;
            case 1: record = droidlens::glyphpin::glyphpin_text(llm, prompt, pages, 95, 1.0, out, "en"); break;
            case 2: record = droidlens::ocr::ocr_text(llm, prompt, pages, 95, 1.0, "cn"); break;
            default: {
                const Json arguments = droidlens::locate::_extract_tool_args(llm.chat(Json::array()), tools[3]);
                const std::string action =
                    droidlens::action::_normalize_action(arguments.contains("action") ? arguments["action"] : Json(""));
                record = droidlens::action::action_mapping(action, arguments);
            }
        }
        (void)droidlens::dump_json(record);
    } catch (const droidlens::Error&) {
    }
    return 0;
}
