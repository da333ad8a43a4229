#include <droidlens/doctor.hpp>

#include <droidlens/errors.hpp>
#include <droidlens/modelwire.hpp>

#include "model/answer.hpp"
#include "modes/locate.hpp"
#include "utils/fs.hpp"
#include "utils/image.hpp"
#include "utils/secrets.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>

namespace droidlens {

namespace {

// The probe: a portrait screen with one red button, placed so that every frame a
// model may answer in puts it somewhere else.
constexpr int kProbeWidth = 900;
constexpr int kProbeHeight = 1600;
constexpr std::array<int, 4> kTarget = {540, 960, 720, 1120};  // pixels; 0-1000: 600, 600, 800, 700
constexpr double kReliableOverlap = 0.5;

using Clock = std::chrono::steady_clock;

Json check(const std::string& name, bool ok, const std::string& detail) {
    return {{"check", name}, {"ok", ok}, {"detail", secrets::redact(detail)}};
}

std::string milliseconds(Clock::duration d) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()) + " ms";
}

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* out = static_cast<std::string*>(user);
    if (out->size() > (1u << 20)) return 0;  // a model list is small; anything else is not one
    out->append(data, size * count);
    return size * count;
}

struct Got {
    long status = 0;
    std::string body;
    std::string error;  // set when no answer came
};

// GET base_url + "/models", the listing OpenAI-compatible services offer.
Got get_models(const ModelConfig& config) {
    Got got;
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        got.error = "cannot initialise the HTTP client";
        return got;
    }
    std::string url = config.base_url;
    while (!url.empty() && url.back() == '/') url.pop_back();
    url += "/models";
    curl_slist* headers = nullptr;
    if (!config.api_key.empty()) headers = curl_slist_append(headers, ("Authorization: Bearer " + config.api_key).c_str());
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(std::min(config.timeout, 30.0) * 1000));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(config.connect_timeout * 1000));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &got.body);
    const CURLcode code = curl_easy_perform(easy);
    if (code != CURLE_OK) got.error = curl_easy_strerror(code);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &got.status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    return got;
}

// Passes requests on and keeps the last raw response, to see where the service put
// the tool call.
class Recording : public ChatModel {
public:
    explicit Recording(Modelwire& wire) : wire_(wire) {}
    Json last;

protected:
    Json send_chat(const Json& messages, const Json& tools, const Json& tool_choice, const Json& temperature,
                   const Json& max_tokens) override {
        last = wire_.chat(messages, tools, tool_choice, temperature, max_tokens);
        return last;
    }

private:
    Modelwire& wire_;
};

std::string write_probe() {
    image::Raster probe(kProbeWidth, kProbeHeight, 3, 0xF2);
    image::draw_rectangle(probe, {0, 0, kProbeWidth, 140}, {40, 60, 120}, 140);  // a title bar
    image::draw_text(probe, 40, 60, "Settings", {255, 255, 255});
    image::draw_rectangle(probe, {60, 400, 840, 520}, {210, 210, 210}, 60);  // a list row
    image::draw_text(probe, 90, 450, "Network", {30, 30, 30});
    image::draw_rectangle(probe, {kTarget[0], kTarget[1], kTarget[2], kTarget[3]}, {220, 30, 40}, 200);
    image::draw_text(probe, kTarget[0] + 80, kTarget[1] + 75, "OK", {255, 255, 255});
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("droidlens_probe_" + std::to_string(std::random_device{}()) + ".png"))
                                 .string();
    image::write_png(probe, path);
    return path;
}

// How well a pixel box matches the target: area of the overlap over the area of both.
double overlap(const std::array<double, 4>& b) {
    const double ix = std::max(0.0, std::min(b[2], double(kTarget[2])) - std::max(b[0], double(kTarget[0])));
    const double iy = std::max(0.0, std::min(b[3], double(kTarget[3])) - std::max(b[1], double(kTarget[1])));
    const double inter = ix * iy;
    const double area = std::max(0.0, b[2] - b[0]) * std::max(0.0, b[3] - b[1]);
    const double target = double(kTarget[2] - kTarget[0]) * double(kTarget[3] - kTarget[1]);
    return inter > 0 ? inter / (area + target - inter) : 0.0;
}

// The frame that puts the model's box onto the target best, with its overlap.
std::pair<std::string, double> best_frame(const Json& box) {
    std::array<double, 4> v{};
    for (size_t i = 0; i < 4; ++i) v[i] = box[i].get<double>();
    const double w = kProbeWidth, h = kProbeHeight;
    auto ordered = [](std::array<double, 4> b) {
        return std::array<double, 4>{std::min(b[0], b[2]), std::min(b[1], b[3]), std::max(b[0], b[2]),
                                     std::max(b[1], b[3])};
    };
    const std::pair<const char*, std::array<double, 4>> candidates[] = {
        {"rel1000", {v[0] * w / 1000, v[1] * h / 1000, v[2] * w / 1000, v[3] * h / 1000}},
        {"rel1000-yx", {v[1] * w / 1000, v[0] * h / 1000, v[3] * w / 1000, v[2] * h / 1000}},
        {"pixels", {v[0], v[1], v[2], v[3]}},
        {"rel1", {v[0] * w, v[1] * h, v[2] * w, v[3] * h}},
    };
    std::pair<std::string, double> best{"", 0.0};
    for (const auto& [name, b] : candidates) {
        const double o = overlap(ordered(b));
        if (o > best.second) best = {name, o};
    }
    return best;
}

}  // namespace

Json doctor(const ModelConfig& config) {
    Json checks = Json::array();
    Json out = Json::object();
    auto finish = [&](int status, const Json& profile) {
        out["checks"] = std::move(checks);
        out["profile"] = profile;
        out["status"] = status;
        return out;
    };

    // 1. Reachable, key accepted, model listed.
    const auto started = Clock::now();
    const Got models = get_models(config);
    const auto took = Clock::now() - started;
    if (!models.error.empty() && models.status == 0) {
        checks.push_back(check("reachable", false, "cannot reach " + config.base_url + ": " + models.error));
        return finish(4, nullptr);
    }
    checks.push_back(check("reachable", true, config.base_url + " answered in " + milliseconds(took)));
    if (models.status == 401 || models.status == 403) {
        checks.push_back(check("key", false, "the service refused the API key (HTTP " + std::to_string(models.status) + ")"));
        return finish(4, nullptr);
    }
    checks.push_back(check("key", true,
                           config.api_key.empty() ? "no API key is sent (local services accept that)"
                                                  : "the service did not refuse the API key"));
    if (models.status >= 200 && models.status < 300) {
        const Json list = Json::parse(models.body, nullptr, false);
        bool listed = false;
        if (list.is_object() && list.value("data", Json()).is_array())
            for (const Json& m : list["data"]) listed = listed || (m.is_object() && m.value("id", Json()) == config.model);
        checks.push_back(check("model", listed,
                               listed ? config.model + " is among the service's models"
                                      : config.model + " is not in the service's model list (GET /models)"));
    } else {
        checks.push_back(check("model", true, "the service offers no model list (HTTP " + std::to_string(models.status) +
                                                  "); " + config.model + " is tried below"));
    }

    // 2. A probe screenshot with the locate tool, as every screen mode asks.
    ModelConfig probe_config = config;
    probe_config.tool_choice = config.tool_choice == "none" ? "none" : "named";
    probe_config.max_retries = std::min(config.max_retries, 1);
    // The checks are about the service as it answers now, never a stored answer.
    probe_config.cache_dir.clear();
    probe_config.cache_mode = "use";
    Json box;
    std::string tool_detail;
    const std::string probe = write_probe();
    try {
        Modelwire wire(probe_config);
        Recording recording(wire);
        const auto asked = Clock::now();
        const Json located = locate::locate_element(recording, "the red button labelled OK", {probe}, 95, 1.0,
                                                    std::nullopt);
        box = located["bounding_box"];
        const Json& message = answer::first_message(recording.last);
        const bool called = message.contains("tool_calls") && message["tool_calls"].is_array() &&
                            !message["tool_calls"].empty();
        const std::string how = wire.refused_named_tool_choice()
                                    ? "the service refused a tool choice naming the function; \"required\" works"
                                : called ? "the forced tool call was honoured"
                                         : "the forced tool call was ignored; the arguments were read from the answer text";
        tool_detail = how;
        checks.push_back(check("images and tools", true,
                               "a screenshot was accepted and " + how + " (" + milliseconds(Clock::now() - asked) + ")"));
    } catch (const Error& e) {
        std::filesystem::remove(probe);
        const FailureKind kind = failure_kind(e);
        checks.push_back(check("images and tools", false, message_with_causes(e)));
        return finish(kind == FailureKind::kModelService || kind == FailureKind::kUsage ? 4 : 5, nullptr);
    }
    std::filesystem::remove(probe);

    // 3. The frame that explains the box.
    const auto [frame, fit] = best_frame(box);
    if (frame.empty() || fit < kReliableOverlap) {
        checks.push_back(check("coordinates", false,
                               "the box " + dump_json(box) +
                                   " fits no coordinate frame: this model cannot locate reliably"));
        return finish(5, nullptr);
    }
    checks.push_back(check("coordinates", true,
                           "the box " + dump_json(box) + " is in the frame " + frame + " (overlap " +
                               std::to_string(static_cast<int>(fit * 100)) + "% with the target)"));
    Json profile = Json::object();
    profile["tool_choice"] = tool_detail.find("refused") != std::string::npos ? "required" : probe_config.tool_choice;
    profile["coordinates"] = frame;
    return finish(0, profile);
}

void write_profile(const std::string& path, const ModelConfig& config, const Json& findings) {
    Json doc = Json::object();
    if (std::filesystem::exists(path)) {
        doc = Json::parse(fs::read_file(path), nullptr, false);
        if (doc.is_discarded() || !doc.is_object())
            throw UsageError("Config file '" + path + "' must hold a JSON object to be merged into");
    }
    if (!config.base_url.empty()) doc["base_url"] = config.base_url;
    if (!config.model.empty()) doc["model"] = config.model;
    if (findings.value("profile", Json()).is_object())
        for (const auto& [key, value] : findings["profile"].items()) doc[key] = value;
    fs::write_file(path, doc.dump(2) + "\n");
}

}  // namespace droidlens
