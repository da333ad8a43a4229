// The run report's recorder: turns automation steps and query-mode records into the
// report document that report/html renders, with small JPEG pictures of the screens
// and the model's actions and boxes drawn on them.
#include <droidlens/errors.hpp>
#include <droidlens/report.hpp>

#include "report/html.hpp"
#include "utils/base64.hpp"
#include "utils/coords.hpp"
#include "utils/fs.hpp"
#include "utils/image.hpp"
#include "utils/jpeg.hpp"
#include "utils/resample.hpp"
#include "utils/values.hpp"
#include "utils/xml.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

namespace droidlens {

namespace {

using image::PixelBox;
using image::Raster;
using image::Rgb;

// Pictures in the page are at most this wide (tall screens) or tall (wide screens):
// readable on a laptop next to the step's text, ~60-100 KB each as JPEG.
constexpr int kPictureLongSide = 960;
constexpr int kPictureShortSide = 480;
constexpr int kJpegQuality = 72;

constexpr Rgb kTapColour{230, 40, 40};
constexpr Rgb kSwipeColour{30, 110, 230};
constexpr Rgb kPressColour{240, 150, 0};
constexpr Rgb kTextColour{255, 255, 255};
constexpr Rgb kBannerColour{20, 20, 20};
constexpr Rgb kPassedColour{20, 160, 70};
constexpr Rgb kFailedColour{230, 40, 40};
const Rgb kPalette[] = {{230, 40, 40}, {30, 110, 230}, {20, 160, 70}, {200, 60, 200}, {240, 150, 0}, {0, 170, 190}};

std::string file_name(const std::string& path) { return std::filesystem::path(path).filename().string(); }

std::string seconds_text(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f s", s);
    return buf;
}

// Where the time of a step or a run went.
std::string time_split(double device, double model, double own) {
    return "device " + seconds_text(device) + ", model " + seconds_text(model) + ", droidlens " + seconds_text(own);
}

// The picture for the page: scaled to fit kPictureShortSide x kPictureLongSide
// (never enlarged) and encoded as a JPEG data URL.
std::string picture_url(const Raster& img) {
    const bool tall = img.height() >= img.width();
    const double max_w = tall ? kPictureShortSide : kPictureLongSide;
    const double max_h = tall ? kPictureLongSide : kPictureShortSide;
    const double f = std::min({1.0, max_w / img.width(), max_h / img.height()});
    const int w = std::max(1, static_cast<int>(std::lround(img.width() * f)));
    const int h = std::max(1, static_cast<int>(std::lround(img.height() * f)));
    const Raster small = f < 1.0 ? resample::resize(img, w, h, resample::Filter::Bilinear) : img;
    return "data:image/jpeg;base64," + base64::encode(jpeg::encode(small, kJpegQuality));
}

// Line widths and marker sizes follow the screen's size, so they stay visible once
// the picture is shrunk.
int pen_for(const Raster& img) { return std::max(3, std::min(img.width(), img.height()) / 120); }

// A point of the model's 0-1000 space as pixels, or nothing when the value is not a
// pair of numbers.
std::optional<std::pair<std::int64_t, std::int64_t>> point_of(const Json& v, const Raster& img) {
    if (!v.is_array() || v.size() != 2 || !v[0].is_number() || !v[1].is_number()) return std::nullopt;
    const double x = v[0].get<double>(), y = v[1].get<double>();
    if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
    return std::make_pair(coords::relative_to_pixel(x, img.width()), coords::relative_to_pixel(y, img.height()));
}

// A dark band along the bottom with one line of text (the typed text, a note).
void banner(Raster& img, const std::string& text) {
    const int scale_pen = pen_for(img);
    const int band = 8 + scale_pen * 4;
    image::draw_rectangle(img, {0, img.height() - band, img.width() - 1, img.height() - 1}, kBannerColour, band);
    std::string shown = text.size() > 120 ? text.substr(0, 117) + "..." : text;
    image::draw_text(img, 8, img.height() - band / 2 - 4, shown, kTextColour);
}

// The action of an automation step drawn onto its screenshot: a ring and dot where
// it tapped, two rings for a double tap, a thick ring for a long press, an arrow for
// a swipe, the typed text in a band.
void draw_action(Raster& img, const Json& action) {
    if (!action.is_object()) return;
    const std::string name = action.value("action", Json("")).is_string() ? action.value("action", "") : "";
    const int pen = pen_for(img);
    const int ring = pen * 6;
    if (name == "Tap" || name == "Double Tap" || name == "Long Press") {
        const auto p = point_of(action.value("element", Json()), img);
        if (!p) return;
        const Rgb colour = name == "Long Press" ? kPressColour : kTapColour;
        image::draw_circle(img, p->first, p->second, ring, colour, name == "Long Press" ? pen * 2 : pen);
        if (name == "Double Tap") image::draw_circle(img, p->first, p->second, ring + pen * 3, colour, pen);
        image::draw_disc(img, p->first, p->second, pen, colour);
    } else if (name == "Swipe") {
        const auto a = point_of(action.value("start", Json()), img);
        const auto b = point_of(action.value("end", Json()), img);
        if (!a || !b) return;
        image::draw_line(img, a->first, a->second, b->first, b->second, kSwipeColour, pen);
        image::draw_disc(img, a->first, a->second, pen * 2, kSwipeColour);
        // The arrow head: two short strokes back from the end, 25 degrees off the line.
        const double angle = std::atan2(static_cast<double>(a->second - b->second),
                                        static_cast<double>(a->first - b->first));
        for (double side : {-0.45, 0.45}) {
            const double len = ring * 1.5;
            image::draw_line(img, b->first, b->second, b->first + std::lround(len * std::cos(angle + side)),
                             b->second + std::lround(len * std::sin(angle + side)), kSwipeColour, pen);
        }
    } else if (name == "Type" || name == "Type_Name") {
        const Json& text = action.value("text", Json(""));
        banner(img, "Type: " + (text.is_string() ? text.get<std::string>() : dump_json(text)));
    } else if (!name.empty()) {
        banner(img, name);
    }
}

Json kv(const std::string& label, const std::string& value) { return Json::array({label, value}); }

Json text_block(const std::string& label, const std::string& text) {
    Json t = Json::object();
    t["label"] = label;
    t["text"] = text;
    return t;
}

Json note(const std::string& kind, const std::string& text) {
    Json n = Json::object();
    n["kind"] = kind;
    n["text"] = text;
    return n;
}

Json picture(const std::string& src, const std::string& caption) {
    Json p = Json::object();
    p["src"] = src;
    p["caption"] = caption;
    return p;
}

std::string text_of(const Json& v) { return v.is_string() ? v.get<std::string>() : v.is_null() ? "" : dump_json(v); }

// A box of the model's 0-1000 space as pixels, or nothing when it is not four numbers.
std::optional<PixelBox> relative_box(const Json& box, const Raster& img) {
    if (!box.is_array() || box.size() != 4) return std::nullopt;
    for (const Json& v : box)
        if (!v.is_number() || !std::isfinite(v.get<double>())) return std::nullopt;
    try {
        return image::to_absolute_box(box, img.width(), img.height());
    } catch (const Error&) {
        return std::nullopt;
    }
}

// The label drawn above a box, in the box's colour.
void label_box(Raster& img, const PixelBox& b, const std::string& label, Rgb colour, int pen) {
    image::draw_rectangle(img, b, colour, pen);
    if (!label.empty()) {
        const int y = static_cast<int>(std::max<std::int64_t>(std::min(b[1], b[3]) - 12, 2));
        image::draw_text(img, static_cast<int>(std::min(b[0], b[2])), y, label, colour);
    }
}

std::int64_t page_index(const Json& page, std::size_t pages) {
    std::int64_t p = 1;
    try {
        if (!page.is_null()) p = values::to_int(page);
    } catch (const Error&) {
        p = 1;
    }
    return std::clamp<std::int64_t>(p, 1, static_cast<std::int64_t>(std::max<std::size_t>(pages, 1))) - 1;
}

}  // namespace

struct RunReport::State {
    ReportRun run;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::string started_text = fs::local_time_text("%Y-%m-%d %H:%M:%S");
    std::string stamp = fs::local_time_text("%Y%m%d_%H%M%S");
    std::vector<std::string> captured;  // screenshots the mode took itself
    std::string run_id;
    std::int64_t max_steps = 0;
    Json steps = Json::array();  // finished sections, one per automation step
    double device_seconds = 0, model_seconds = 0, own_seconds = 0;
};

RunReport::RunReport(ReportRun run) : state_(std::make_unique<State>()) { state_->run = std::move(run); }
RunReport::~RunReport() = default;

void RunReport::on_screenshot_saved(const std::string& path) { state_->captured.push_back(path); }

void RunReport::on_automate_step(const AutomateStep& step) {
    State& s = *state_;
    s.run_id = step.run_id;
    s.max_steps = step.max_steps;
    s.device_seconds += step.device_seconds;
    s.model_seconds += step.model_seconds;
    s.own_seconds += step.own_seconds;

    const std::string action_name =
        step.action.is_object() && step.action.value("action", Json()).is_string()
            ? step.action.value("action", "")
            : step.action.is_object() && step.action.value("_metadata", Json()).is_string() ? step.action.value("_metadata", "") : "";
    Json section = Json::object();
    section["id"] = "step-" + std::to_string(step.step);
    section["title"] = "Step " + std::to_string(step.step) + (action_name.empty() ? "" : ": " + action_name);
    const bool troubled = !step.warnings.empty() || step.feedback.has_value();
    section["status"] = troubled ? "warn" : "ok";

    Json images = Json::array();
    try {
        Raster screen = image::decode_rgb(base64::decode(step.screenshot_base64));
        draw_action(screen, step.action);
        std::string caption = std::to_string(screen.width()) + " x " + std::to_string(screen.height());
        if (step.display_id) caption += ", display " + std::to_string(*step.display_id);
        if (step.screenshot_path) caption += ", " + file_name(*step.screenshot_path);
        images.push_back(picture(picture_url(screen), caption));
    } catch (const Error& e) {
        section["notes"] = Json::array({note("error", std::string("The screenshot could not be shown: ") + e.what())});
    }
    section["images"] = std::move(images);

    Json fields = Json::array();
    fields.push_back(kv("Current app", step.current_app.empty() ? "(unknown)" : step.current_app));
    if (step.executor_message) fields.push_back(kv("Result", *step.executor_message));
    if (step.finished) fields.push_back(kv("Run", "ended with this step"));
    fields.push_back(kv("Time", time_split(step.device_seconds, step.model_seconds, step.own_seconds)));
    if (step.cached) fields.push_back(kv("Model", "answer from cache"));
    section["fields"] = std::move(fields);

    Json texts = Json::array();
    if (!step.thinking.empty()) texts.push_back(text_block("Reasoning", step.thinking));
    texts.push_back(text_block("Action", step.action_text.empty() ? step.content : step.action_text));
    section["texts"] = std::move(texts);

    Json notes = section.contains("notes") ? section["notes"] : Json::array();
    for (const std::string& w : step.warnings) notes.push_back(note("warning", w));
    if (step.feedback) notes.push_back(note("feedback", "Sent to the model: " + *step.feedback));
    section["notes"] = std::move(notes);
    s.steps.push_back(std::move(section));
}

std::string RunReport::file_path() const {
    const State& s = *state_;
    std::string name;
    if (s.run.mode == "automate") {
        name = (s.run_id.empty() ? s.stamp + "_automate" : s.run_id) + "_report.html";
    } else {
        const std::vector<std::string>& shots = s.run.image_paths.empty() ? s.captured : s.run.image_paths;
        const std::string stem = shots.empty() ? s.stamp : fs::stem(shots.front());
        name = stem + "_" + image::safe_suffix(s.run.mode) + "_report.html";
    }
    return fs::join(s.run.output_dir.empty() ? "." : s.run.output_dir, name);
}

namespace {

// The query modes' pages: each screenshot with what the record says about it drawn.
Json query_sections(const ReportRun& run, const std::vector<std::string>& shots, const Json& record) {
    Json sections = Json::array();
    const std::string& mode = run.mode;
    std::vector<Raster> pages;
    Json notes = Json::array();
    for (const std::string& path : shots) {
        try {
            pages.push_back(image::load_rgb(path));
        } catch (const Error& e) {
            pages.emplace_back();
            notes.push_back(note("error", file_name(path) + " could not be shown: " + e.what()));
        }
    }
    std::vector<std::vector<std::string>> captions(pages.size());
    auto usable = [&](std::size_t i) { return i < pages.size() && !pages[i].empty(); };

    if (record.is_object() && mode == "locate") {
        const std::size_t i = static_cast<std::size_t>(page_index(record.value("page", Json()), pages.size()));
        if (usable(i)) {
            if (auto b = relative_box(record.value("bounding_box", Json()), pages[i])) {
                label_box(pages[i], *b, text_of(record.value("label", Json(""))), kPalette[0], pen_for(pages[i]));
                captions[i].push_back("box of \"" + text_of(record.value("label", Json(""))) + "\"");
            }
        }
    } else if (record.is_object() && mode == "glyphpin" && record.value("items", Json()).is_array()) {
        std::size_t n = 0;
        for (const Json& item : record["items"]) {
            ++n;
            if (!item.is_object()) continue;
            const std::size_t i = static_cast<std::size_t>(page_index(item.value("page", Json()), pages.size()));
            if (!usable(i)) continue;
            if (auto b = relative_box(item.value("bounding_box", Json()), pages[i])) {
                const Rgb colour = kPalette[(n - 1) % std::size(kPalette)];
                label_box(pages[i], *b, std::to_string(n), colour, pen_for(pages[i]));
                captions[i].push_back(std::to_string(n) + ": " + text_of(item.value("text", Json(""))));
            }
        }
    } else if (record.is_object() && mode == "assert") {
        const std::size_t i = static_cast<std::size_t>(page_index(record.value("page", Json()), pages.size()));
        const bool passed = record.value("passed", Json(false)) == true;
        if (usable(i)) {
            if (auto b = relative_box(record.value("evidence_box", Json()), pages[i])) {
                label_box(pages[i], *b, "evidence", passed ? kPassedColour : kFailedColour, pen_for(pages[i]));
                captions[i].push_back("evidence of the verdict");
            }
        }
    } else if (record.is_object() && mode == "nodepin" && record.value("bounds", Json()).is_string() && usable(0)) {
        if (auto b = xml::parse_bounds(record["bounds"].get<std::string>())) {
            label_box(pages[0], *b, text_of(record.value("text", Json(""))), kPalette[0], pen_for(pages[0]));
            captions[0].push_back("node " + record["bounds"].get<std::string>());
        }
    } else if (record.is_object() && mode == "diff" && record.value("diff_boxes", Json()).is_array() && usable(0)) {
        // The boxes are in the first image's pixels; the second one is marked where
        // they fall on it after scaling to its size.
        for (std::size_t i = 0; i < pages.size() && i < 2; ++i) {
            if (!usable(i)) continue;
            const double fx = static_cast<double>(pages[i].width()) / pages[0].width();
            const double fy = static_cast<double>(pages[i].height()) / pages[0].height();
            std::size_t n = 0;
            for (const Json& box : record["diff_boxes"]) {
                ++n;
                if (!box.is_array() || box.size() != 4 || !box[0].is_number_integer()) continue;
                const PixelBox b{std::llround(box[0].get<double>() * fx), std::llround(box[1].get<double>() * fy),
                                 std::llround(box[2].get<double>() * fx), std::llround(box[3].get<double>() * fy)};
                label_box(pages[i], b, std::to_string(n), kPalette[0], pen_for(pages[i]));
            }
        }
    }

    Json section = Json::object();
    section["id"] = "screens";
    section["title"] = mode == "diff" ? "Before and after" : "Screens";
    Json images = Json::array();
    for (std::size_t i = 0; i < pages.size(); ++i) {
        if (pages[i].empty()) continue;
        std::string caption = (mode == "diff" ? (i == 0 ? "before: " : "after: ") : "page " + std::to_string(i + 1) + ": ") +
                              file_name(shots[i]);
        for (const std::string& c : captions[i]) caption += "; " + c;
        images.push_back(picture(picture_url(pages[i]), caption));
    }
    section["images"] = std::move(images);
    Json fields = Json::array();
    if (!run.prompt.empty()) fields.push_back(kv("Request", run.prompt));
    if (record.is_object() && record.contains("text") && mode != "nodepin")
        fields.push_back(kv("Text", text_of(record["text"])));
    if (record.is_object() && record.contains("diff_score")) fields.push_back(kv("Score", text_of(record["diff_score"])));
    if (record.is_object() && record.contains("passed") && mode == "assert") {
        fields.push_back(kv("Verdict", record["passed"] == true ? "passed" : "not passed"));
        fields.push_back(kv("Reason", text_of(record.value("reason", Json("")))));
    }
    section["fields"] = std::move(fields);
    section["notes"] = std::move(notes);
    if (!section["images"].empty() || !section["fields"].empty() || !section["notes"].empty())
        sections.push_back(std::move(section));
    return sections;
}

// A wait's page: one section per screen the model judged, in order, with the
// verdict's evidence drawn in its colour.
Json wait_sections(const Json& record) {
    Json sections = Json::array();
    if (!record.is_object() || !record.value("verdicts", Json()).is_array()) return sections;
    for (const Json& v : record["verdicts"]) {
        if (!v.is_object()) continue;
        const bool passed = v.value("passed", Json(false)) == true;
        Json section = Json::object();
        section["id"] = "poll-" + text_of(v.value("poll", Json(0)));
        section["title"] = "Poll " + text_of(v.value("poll", Json(0))) + " at " + text_of(v.value("at_s", Json(0))) +
                           " s: " + (passed ? "passed" : "not yet");
        section["status"] = passed ? "ok" : "warn";
        Json images = Json::array();
        Json notes = Json::array();
        const std::string path = text_of(v.value("screenshot_path", Json("")));
        try {
            Raster screen = image::load_rgb(path);
            if (auto b = relative_box(v.value("evidence_box", Json()), screen))
                label_box(screen, *b, "evidence", passed ? kPassedColour : kFailedColour, pen_for(screen));
            images.push_back(picture(picture_url(screen), file_name(path)));
        } catch (const Error& e) {
            notes.push_back(note("error", file_name(path) + " could not be shown: " + e.what()));
        }
        section["images"] = std::move(images);
        section["fields"] = Json::array({kv("Reason", text_of(v.value("reason", Json(""))))});
        section["notes"] = std::move(notes);
        sections.push_back(std::move(section));
    }
    return sections;
}

}  // namespace

std::string RunReport::render(const Json* record, const std::string* error) const {
    const State& s = *state_;
    const ReportRun& run = s.run;
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - s.started).count();

    Json doc = Json::object();
    doc["title"] = "droidlens " + run.mode + (run.prompt.empty() ? "" : ": " + run.prompt);
    doc["subtitle"] = "Started " + s.started_text;
    Json header = Json::array();
    if (!run.prompt.empty()) {
        const bool statement = run.mode == "assert" || run.mode == "wait";
        header.push_back(kv(run.mode == "automate" ? "Task" : statement ? "Statement" : "Request", run.prompt));
    }
    header.push_back(kv("Mode", run.mode));
    // Modes that read given screenshot files touch no device.
    const bool on_device = run.mode != "diff" && (run.image_paths.empty() || run.mode == "nodepin" ||
                                                  run.mode == "action" || run.mode == "automate" ||
                                                  run.mode == "wait");
    if (on_device) header.push_back(kv("Device", run.device_id ? *run.device_id : "the connected device"));
    if (run.display_id) header.push_back(kv("Display", std::to_string(*run.display_id)));
    if (!run.model.empty()) header.push_back(kv("Model", run.model));
    if (run.mode == "automate") {
        header.push_back(kv("Steps", std::to_string(s.steps.size()) + " of at most " +
                                         std::to_string(s.max_steps > 0 ? s.max_steps : run.max_steps)));
    }
    std::string outcome;
    if (error) {
        outcome = "failed: " + *error;
    } else if (record && record->is_object() && (run.mode == "assert" || run.mode == "wait") &&
               record->contains("passed")) {
        outcome = (*record)["passed"] == true ? "passed" : "not passed";
        if (record->value("timed_out", Json(false)) == true) outcome += " (timed out)";
        outcome += ": " + text_of(record->value("reason", Json("")));
    } else if (record && record->is_object() && record->contains("status")) {
        outcome = text_of((*record)["status"]);
        if (record->contains("message")) outcome += ": " + text_of((*record)["message"]);
    } else {
        outcome = "done";
    }
    header.push_back(kv(run.mode == "automate" ? "Stop reason" : "Outcome", outcome));
    if (run.mode == "wait" && record && record->is_object()) {
        header.push_back(kv("Polls", text_of(record->value("polls", Json(0))) + " captures, " +
                                         text_of(record->value("model_calls", Json(0))) + " model calls"));
    }
    std::string time = seconds_text(total);
    if (run.mode == "automate" && !s.steps.empty())
        time += " (" + time_split(s.device_seconds, s.model_seconds, s.own_seconds) + ")";
    header.push_back(kv("Total time", time));
    doc["header"] = std::move(header);

    Json sections = Json::array();
    if (run.mode == "automate" || (run.mode == "action" && !s.steps.empty())) {
        sections = s.steps;
    } else if (run.mode == "wait") {
        sections = wait_sections(record ? *record : Json());
    } else {
        const std::vector<std::string>& shots = run.image_paths.empty() ? s.captured : run.image_paths;
        sections = query_sections(run, shots, record ? *record : Json());
    }
    if (error) {
        Json failed = Json::object();
        failed["id"] = "error";
        failed["title"] = "The run failed";
        failed["status"] = "error";
        failed["notes"] = Json::array({note("error", *error)});
        sections.push_back(std::move(failed));
    }
    doc["sections"] = std::move(sections);
    if (record) doc["record"] = *record;
    return report::render_html(doc);
}

namespace {

// An automation's page is named after its run, which several runs on different
// displays may share: it never replaces another run's page ("_2", ...). The other
// modes' pages follow their screenshot's name and are replaced like it.
std::string save_page(const std::string& output_dir, const std::string& path, const std::string& html,
                      bool keep_others) {
    const std::string dir = output_dir.empty() ? "." : output_dir;
    fs::ensure_directory(dir);
    if (!keep_others) {
        fs::write_file(path, html);
        return path;
    }
    const std::string name = std::filesystem::path(path).filename().string();
    const std::string base = name.substr(0, name.size() - std::string_view("_report.html").size());
    return fs::write_new_file(dir, [&](const std::string& n) { return base + n + "_report.html"; }, html).path;
}

}  // namespace

std::string RunReport::write(const Json& record) {
    return save_page(state_->run.output_dir, file_path(), render(&record, nullptr), state_->run.mode == "automate");
}

std::string RunReport::write_failed(const std::string& error) {
    return save_page(state_->run.output_dir, file_path(), render(nullptr, &error), state_->run.mode == "automate");
}

}  // namespace droidlens
