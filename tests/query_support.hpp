// Helpers of the screen query tests: a model client wired to the scripted server,
// tool-call replies built from JSON, and reading back what a request carried.
#pragma once

#include <droidlens/modelwire.hpp>

#include "fakes/adb_fixture.hpp"
#include "fakes/chat_server.hpp"
#include "test_support.hpp"
#include "utils/image.hpp"
#include "utils/png.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace stdfs = std::filesystem;

namespace testsupport {

inline const std::string kQueryApiKey = "sk-QUERYTEST-5d2e8a";

inline droidlens::ModelConfig fake_model_config(const fakes::FakeChatServer& server) {
    droidlens::ModelConfig c;
    c.base_url = server.base_url();
    c.api_key = kQueryApiKey;
    c.model = "vision-model";
    c.timeout = 10;
    c.connect_timeout = 2;
    c.max_retries = 0;
    return c;
}

// The model calls `tool` with `arguments` (any JSON value, sent as its text).
inline fakes::ScriptedReply tool_reply(const std::string& tool, const droidlens::Json& arguments) {
    return fakes::tool_call_reply(tool, arguments.dump());
}

// The body of the only request the server received.
inline droidlens::Json only_request(const fakes::FakeChatServer& server) {
    const auto requests = server.requests();
    EXPECT_EQ(requests.size(), 1u);
    if (requests.empty() || !requests.back().json) return droidlens::Json::object();
    return *requests.back().json;
}

// Every image the messages carry, decoded (8-bit RGB), in message order.
inline std::vector<droidlens::image::Raster> request_images(const droidlens::Json& body) {
    static const std::string kPrefix = "data:image/png;base64,";
    std::vector<droidlens::image::Raster> images;
    for (const auto& message : body["messages"]) {
        if (!message["content"].is_array()) continue;
        for (const auto& part : message["content"]) {
            if (part.value("type", "") != "image_url") continue;
            const std::string url = part["image_url"]["url"].get<std::string>();
            EXPECT_EQ(url.rfind(kPrefix, 0), 0u);
            const std::string png = droidlens::image::base64_to_image_bytes(url.substr(kPrefix.size()));
            EXPECT_EQ(png.rfind("\x89PNG", 0), 0u) << "not a PNG";
            images.push_back(droidlens::png::decode(png));
        }
    }
    return images;
}

inline bool same_pixels(const droidlens::image::Raster& a, const droidlens::image::Raster& b) { return a == b; }

// The RGB value of pixel (x, y).
inline std::array<std::uint8_t, 3> rgb_of(const droidlens::image::Raster& img, int x, int y) {
    const std::uint8_t* p = img.pixel(x, y);
    return {p[0], p[1], p[2]};
}
using Rgb = std::array<std::uint8_t, 3>;

// The keys of an object, in order.
inline std::vector<std::string> keys_of(const droidlens::Json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
    return keys;
}

// Names of the files directly in `dir`, sorted.
inline std::vector<std::string> files_in(const stdfs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : stdfs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Two small screenshots (a.png 50 x 100 and b.png 100 x 50), the scripted server and
// a model client wired to it.
class ScreenQueryTest : public ::testing::Test {
protected:
    TempDir dir;
    fakes::FakeChatServer server;
    droidlens::Modelwire llm{fake_model_config(server)};
    std::string shot_a = dir.file("a.png");
    std::string shot_b = dir.file("b.png");

    void SetUp() override {
        write_text(shot_a, tiny_png(50, 100, 0x40));
        write_text(shot_b, tiny_png(100, 50, 0xc0));
    }
};

// The red target of the grounding tests: painted onto a screen, and found again in
// the image a model was sent ([x1, y1, x2, y2), pixels of that image; all 0 when
// there is none).
inline void paint_target(droidlens::image::Raster& img, int x1, int y1, int x2, int y2) {
    for (int y = y1; y < y2; ++y)
        for (int x = x1; x < x2; ++x) {
            std::uint8_t* p = img.pixel(x, y);
            p[0] = 230, p[1] = 20, p[2] = 30;
        }
}

inline std::array<int, 4> find_target(const droidlens::image::Raster& img) {
    int x1 = img.width(), y1 = img.height(), x2 = -1, y2 = -1;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const std::uint8_t* p = img.pixel(x, y);
            if (p[0] > 200 && p[1] < 60 && p[2] < 60)
                x1 = std::min(x1, x), y1 = std::min(y1, y), x2 = std::max(x2, x), y2 = std::max(y2, y);
        }
    if (x2 < 0) return {0, 0, 0, 0};
    return {x1, y1, x2 + 1, y2 + 1};
}

}  // namespace testsupport
