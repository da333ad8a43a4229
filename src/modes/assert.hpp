// The "assert" mode: is a statement true of the screen? One request with the forced
// tool "return_verdict" gives a boolean verdict, a one-sentence reason and, when one
// element decided it, that element's box as evidence.
#pragma once

#include <droidlens/json.hpp>
#include <droidlens/route.hpp>

#include <optional>
#include <string>
#include <vector>

namespace droidlens {
class ChatModel;
}

namespace droidlens::assertion {

// Asks the model whether `statement` holds on the screenshots. Returns
// {"mode": "assert", "passed", "reason", "evidence_box" (0-1000, or null),
// "confidence" (or null), "image_dimensions", "annotated_image_path"}: the
// annotated copy (output_dir/<stem>_assert.png, written when output_dir is given)
// shows the evidence outlined in green when the statement passed and red when not,
// or the whole screen framed in that colour when the answer names no evidence.
// An answer without a boolean "passed" is a ModelAnswerError: it never passes.
// `lang` "en" selects the English prompt, anything else the Chinese one.
Json assert_screen(ChatModel& llm, const std::string& statement, const std::vector<std::string>& image_paths,
                   const std::string& lang, const std::optional<std::string>& output_dir);

// The colour of a verdict in annotated images and reports: green passed, red not.
bool verdict_passed(const Json& record);

// Mode entry: captures a screenshot into output_dir when no image is given.
Json run(const ModeArgs& args);

}  // namespace droidlens::assertion
