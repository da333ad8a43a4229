// The "wait" mode: polls a device's screen until a statement is true of it or the
// time is up. Each poll captures the screen; a screen the diff comparison finds
// unchanged since the last one judged is not sent again, so a slow transition costs
// device captures, not model calls.
#pragma once

#include <droidlens/json.hpp>
#include <droidlens/route.hpp>

namespace droidlens {
class ChatModel;
}

namespace droidlens::waiting {

struct Timing {
    double timeout = 30.0;  // seconds until the wait gives up; 0 polls once
    double interval = 1.0;  // seconds between the end of one poll and the next capture
};

// Polls the device of `args` (never image files) until the model's verdict on
// args.prompt passes or `timing.timeout` has passed. Returns the last verdict's
// record (see assertion::assert_screen) as mode "wait", with "polls" (captures),
// "model_calls", "waited_s", "timed_out" and "verdicts": one entry per judged
// screen {"poll", "at_s", "passed", "reason", "evidence_box", "screenshot_path",
// "annotated_image_path"}. Judged screenshots stay in args.output_dir; Ctrl-C (a
// cancellation) stops the wait between or during polls.
Json wait_until(ChatModel& llm, const ModeArgs& args, const Timing& timing);

// Mode entry, with the timing of args.
Json run(const ModeArgs& args);

}  // namespace droidlens::waiting
