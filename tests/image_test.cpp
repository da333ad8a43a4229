// Image utilities: loading, encoding for the model, coordinate conversion,
// resampling against reference values, drawing and annotated copies.
#include <droidlens/errors.hpp>

#include "fakes/adb_fixture.hpp"
#include "test_support.hpp"
#include "utils/base64.hpp"
#include "utils/image.hpp"
#include "utils/png.hpp"
#include "utils/resample.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <zlib.h>

#include <cmath>
#include <limits>
#include <random>

using namespace droidlens;
using image::PixelBox;
using testsupport::TempDir;
namespace stdfs = std::filesystem;

namespace {

std::string save(const TempDir& dir, const std::string& name, const cv::Mat& img) {
    std::string path = dir.file(name);
    EXPECT_TRUE(cv::imwrite(path, img));
    return path;
}

cv::Mat decode_b64_png(const std::string& b64) {
    std::string bytes = base64::decode(b64);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    return cv::imdecode(cv::Mat(1, static_cast<int>(bytes.size()), CV_8UC1, bytes.data()),
                        cv::IMREAD_UNCHANGED);
}

cv::Vec3b rgb(const cv::Mat& bgr, int x, int y) {
    cv::Vec3b p = bgr.at<cv::Vec3b>(y, x);
    return {p[2], p[1], p[0]};
}

const cv::Vec3b kGreen(0, 255, 0), kWhite(255, 255, 255);

// The 9 x 7 test card used for the resampling reference values.
cv::Mat test_card() {
    cv::Mat m(7, 9, CV_8UC3);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 9; ++x)
            m.at<cv::Vec3b>(y, x) = cv::Vec3b((x * y * 13) % 256, (x * x * 5 + y * 3) % 256, (x * 37 + y * 11) % 256);
    return m;
}

std::vector<cv::Vec3b> rgb_pixels(const cv::Mat& bgr) {
    std::vector<cv::Vec3b> out;
    for (int y = 0; y < bgr.rows; ++y)
        for (int x = 0; x < bgr.cols; ++x) out.push_back(rgb(bgr, x, y));
    return out;
}

}  // namespace

TEST(ToAbsoluteBox, DoubleArithmeticTruncationAndClamping) {
    // (290 / 1000) * 100 is just below 29 in double precision.
    EXPECT_EQ(image::to_absolute_box(Json{290, 0, 290, 0}, 100, 100), (PixelBox{28, 0, 28, 0}));
    EXPECT_EQ(image::to_absolute_box(Json{0, 0, 1000, 1000}, 1080, 2400), (PixelBox{0, 0, 1079, 2399}));
    EXPECT_EQ(image::to_absolute_box(Json{333, 500, 600, 700}, 1080, 2400), (PixelBox{359, 1200, 648, 1680}));
    EXPECT_EQ(image::to_absolute_box(Json{-5, -0.5, 1200, 1e300}, 617, 1280), (PixelBox{0, 0, 616, 1279}));
    EXPECT_EQ(image::to_absolute_box(Json{-1e308, 0, 1.7e308, 0}, 617, 1280), (PixelBox{0, 0, 616, 0}));
    // Decimals, inverted corners kept, extra values ignored, bools count as numbers.
    EXPECT_EQ(image::to_absolute_box(Json{999.9, 500.5, 100.2, 0, "extra"}, 617, 1280),
              (PixelBox{616, 640, 61, 0}));
    EXPECT_EQ(image::to_absolute_box(Json{true, false, 1000, 1000}, 1000, 10), (PixelBox{1, 0, 999, 9}));
    EXPECT_EQ(image::to_absolute_box(std::array<double, 4>{290, 0, 290, 0}, 100, 100), (PixelBox{28, 0, 28, 0}));
}

TEST(ToAbsoluteBox, RejectsWhatCannotBeConverted) {
    EXPECT_THROW_MSG(image::to_absolute_box(Json("0,0,1,1"), 10, 10), TypeError,
                     "Argument 'bounding_box' has incorrect type (expected list, got str)");
    EXPECT_THROW_MSG(image::to_absolute_box(Json(nullptr), 10, 10), TypeError,
                     "Argument 'bounding_box' has incorrect type (expected list, got NoneType)");
    EXPECT_THROW_MSG(image::to_absolute_box(Json{1, 2, 3}, 10, 10), IndexError, "list index out of range");
    EXPECT_THROW_MSG(image::to_absolute_box(Json::array(), 10, 10), IndexError, "list index out of range");
    // Values are read in order, so a bad first value fails before the missing ones.
    EXPECT_THROW_MSG(image::to_absolute_box(Json{"1"}, 10, 10), TypeError,
                     "unsupported operand type(s) for /: 'str' and 'int'");
    EXPECT_THROW_MSG(image::to_absolute_box(Json{1, 2, nullptr, 4}, 10, 10), TypeError,
                     "unsupported operand type(s) for /: 'NoneType' and 'int'");
    EXPECT_THROW_MSG(image::to_absolute_box(Json{1, 2, Json::array(), 4}, 10, 10), TypeError,
                     "unsupported operand type(s) for /: 'list' and 'int'");
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    EXPECT_THROW_MSG(image::to_absolute_box(Json{0, nan, 1, 1}, 10, 10), ValueError,
                     "cannot convert float NaN to integer");
    EXPECT_THROW_MSG(image::to_absolute_box(std::array<double, 4>{0, 0, -inf, 1}, 10, 10), ValueError,
                     "cannot convert float infinity to integer");
}

TEST(LoadRgb, ConvertsEveryInputToThreeChannels) {
    TempDir dir;
    // Transparent pixels keep their colour: alpha is dropped, not blended.
    cv::Mat rgba(4, 4, CV_8UC4, cv::Scalar(30, 20, 10, 0));
    cv::Mat loaded = image::load_rgb(save(dir, "rgba.png", rgba));
    ASSERT_EQ(loaded.type(), CV_8UC3);
    EXPECT_EQ(rgb(loaded, 3, 3), cv::Vec3b(10, 20, 30));

    cv::Mat gray(3, 5, CV_8UC1, cv::Scalar(77));
    loaded = image::load_rgb(save(dir, "gray.png", gray));
    ASSERT_EQ(loaded.size(), cv::Size(5, 3));
    EXPECT_EQ(rgb(loaded, 4, 2), cv::Vec3b(77, 77, 77));

    cv::Mat flat(16, 16, CV_8UC3, cv::Scalar(40, 160, 220));
    loaded = image::load_rgb(save(dir, "flat.jpg", flat));
    cv::Vec3b p = rgb(loaded, 8, 8);
    EXPECT_NEAR(p[0], 220, 3);
    EXPECT_NEAR(p[2], 40, 3);
}

TEST(LoadRgb, UnreadableInputsGiveClearErrors) {
    TempDir dir;
    testsupport::write_text(dir.file("empty.png"), "");
    testsupport::write_text(dir.file("text.png"), "hello, not a picture");
    cv::Mat img(200, 300, CV_8UC3);
    cv::randu(img, 0, 255);
    std::vector<uchar> png, jpg;
    cv::imencode(".png", img, png);
    cv::imencode(".jpg", img, jpg);
    testsupport::write_text(dir.file("cut.png"), std::string(png.begin(), png.begin() + png.size() / 2));
    testsupport::write_text(dir.file("cut.jpg"), std::string(jpg.begin(), jpg.begin() + jpg.size() / 3));

    for (const char* name : {"empty.png", "text.png", "cut.png"}) {
        EXPECT_THROW_MSG(image::load_rgb(dir.file(name)), ImageError,
                         "Cannot identify image file '" + dir.file(name) + "'");
    }
    // A JPEG cut inside its scan would decode with a grey lower part; it is refused.
    EXPECT_THROW_MSG(image::load_rgb(dir.file("cut.jpg")), ImageError,
                     "Image file '" + dir.file("cut.jpg") + "' is truncated");
    EXPECT_EQ(image::load_rgb(save(dir, "whole.jpg", img)).size(), cv::Size(300, 200));
    EXPECT_THROW_MSG(image::load_rgb(dir.file("missing.png")), FileSystemError,
                     "No such file or directory: '" + dir.file("missing.png") + "'");
    EXPECT_THROW(image::load_rgb(dir.str()), FileSystemError);  // a directory
}

TEST(Resample, MatchesTheReferenceLibrary) {
    // Reference pixels (RGB) produced by the common Python imaging library.
    cv::Mat card = test_card();
    std::vector<cv::Vec3b> lanczos_4x3 = {{30, 5, 5},     {112, 37, 23},  {202, 152, 57}, {64, 177, 79},
                                          {55, 12, 23},   {144, 45, 114}, {197, 152, 144}, {70, 143, 124},
                                          {78, 18, 55},   {182, 56, 151}, {157, 145, 96}, {53, 61, 106}};
    EXPECT_EQ(rgb_pixels(resample::resize(card, 4, 3, resample::Filter::Lanczos)), lanczos_4x3);

    // Only the width changes: the rows are not filtered at all.
    std::vector<cv::Vec3b> lanczos_2x7 = {{83, 29, 0},    {126, 148, 0},  {94, 32, 24},   {137, 151, 80},
                                          {105, 35, 48},  {148, 154, 160}, {116, 38, 87}, {159, 157, 138},
                                          {124, 47, 90},  {110, 103, 107}, {135, 50, 86}, {121, 106, 105},
                                          {146, 53, 116}, {132, 109, 128}};
    EXPECT_EQ(rgb_pixels(resample::resize(card, 2, 7, resample::Filter::Lanczos)), lanczos_2x7);

    // Bilinear, shrinking one axis and enlarging the other (first two rows).
    std::vector<cv::Vec3b> bilinear_5x9 = rgb_pixels(resample::resize(card, 5, 9, resample::Filter::Bilinear));
    std::vector<cv::Vec3b> first_rows = {{21, 4, 0},  {79, 25, 0},  {148, 82, 0},  {169, 175, 0},  {37, 150, 0},
                                         {28, 6, 5},  {86, 27, 19}, {155, 84, 35}, {176, 177, 51}, {44, 152, 65}};
    EXPECT_EQ(std::vector<cv::Vec3b>(bilinear_5x9.begin(), bilinear_5x9.begin() + 10), first_rows);
    EXPECT_EQ(bilinear_5x9.back(), cv::Vec3b(85, 58, 86));

    // Same size is a copy; a single channel works like three.
    EXPECT_EQ(cv::norm(resample::resize(card, 9, 7, resample::Filter::Lanczos), card, cv::NORM_INF), 0.0);
    cv::Mat gray(10, 10, CV_8UC1, cv::Scalar(200));
    cv::Mat one = resample::resize(gray, 1, 1, resample::Filter::Bilinear);
    EXPECT_EQ(one.at<uchar>(0, 0), 200);
    EXPECT_THROW(resample::resize(gray, 0, 1, resample::Filter::Bilinear), ValueError);
}

TEST(PngWriter, LosslessForFlatAndNoisyContent) {
    // Flat screens take the unfiltered path, noise the filtered one; both must decode
    // to exactly the input, in RGB order, at odd widths.
    cv::Mat flat(321, 617, CV_8UC3, cv::Scalar(240, 240, 240));
    cv::rectangle(flat, cv::Rect(10, 10, 300, 40), cv::Scalar(200, 120, 30), cv::FILLED);
    flat.at<cv::Vec3b>(5, 616) = cv::Vec3b(1, 2, 3);
    cv::Mat noisy(97, 131, CV_8UC3);
    std::mt19937 rng(7);
    for (int y = 0; y < noisy.rows; ++y)
        for (int x = 0; x < noisy.cols; ++x)  // a gradient with noise: filters pay off here
            noisy.at<cv::Vec3b>(y, x) = cv::Vec3b((x + y + rng() % 8) & 255, (2 * x + rng() % 4) & 255, (3 * y) & 255);
    cv::Mat tiny(1, 1, CV_8UC3, cv::Scalar(9, 8, 7));

    for (const cv::Mat* img : {&flat, &noisy, &tiny}) {
        for (png::Effort effort : {png::Effort::Fast, png::Effort::Smallest}) {
            std::string bytes = png::encode(*img, effort);
            cv::Mat back = cv::imdecode(cv::Mat(1, static_cast<int>(bytes.size()), CV_8UC1, bytes.data()),
                                        cv::IMREAD_UNCHANGED);
            ASSERT_EQ(back.type(), CV_8UC3);
            EXPECT_EQ(cv::norm(back, *img, cv::NORM_INF), 0.0);
        }
    }
    EXPECT_THROW(png::encode(cv::Mat(2, 2, CV_8UC1), png::Effort::Fast), ImageError);
}

TEST(EncodeImage, ReportsTheUnscaledSizeAndScalesByTheFactor) {
    TempDir dir;
    cv::Mat img(2400, 1080, CV_8UC3, cv::Scalar(250, 250, 250));
    cv::rectangle(img, cv::Rect(100, 300, 500, 200), cv::Scalar(0, 0, 255), cv::FILLED);  // red in BGR
    std::string path = save(dir, "screen.png", img);

    image::EncodedImage full = image::encode_image(path);
    EXPECT_EQ(full.width, 1080);
    EXPECT_EQ(full.height, 2400);
    EXPECT_EQ(full.b64.find('\n'), std::string::npos);
    cv::Mat back = decode_b64_png(full.b64);
    ASSERT_EQ(back.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(back, img, cv::NORM_INF), 0.0);
    EXPECT_EQ(rgb(back, 300, 400), cv::Vec3b(255, 0, 0));

    image::EncodedImage half = image::encode_image(path, 95, 0.5);
    EXPECT_EQ(half.width, 1080);
    EXPECT_EQ(half.height, 2400);
    back = decode_b64_png(half.b64);
    EXPECT_EQ(back.size(), cv::Size(540, 1200));
    EXPECT_EQ(rgb(back, 150, 200), cv::Vec3b(255, 0, 0));

    // 0 means unscaled; a tiny factor still leaves one pixel; quality changes nothing.
    EXPECT_EQ(image::encode_image(path, 10, 0.0).b64, full.b64);
    cv::Mat narrow(50, 100, CV_8UC3, cv::Scalar(1, 2, 3));
    std::string narrow_path = save(dir, "narrow.png", narrow);
    EXPECT_EQ(decode_b64_png(image::encode_image(narrow_path, 95, 0.0001).b64).size(), cv::Size(1, 1));
    EXPECT_EQ(decode_b64_png(image::encode_image(narrow_path, 95, 0.5).b64).size(), cv::Size(50, 25));

    EXPECT_THROW_MSG(image::encode_image(narrow_path, 95, std::nan("")), ValueError,
                     "cannot convert float NaN to integer");
    EXPECT_THROW(image::encode_image(narrow_path, 95, 1e6), ValueError);
    EXPECT_THROW(image::encode_image(dir.file("missing.png")), FileSystemError);
}

TEST(EncodeImage, RealScreenshotsRoundTrip) {
    REQUIRE_SHARED_FIXTURE(jpg, "screenshots/todont_log_617x1280.jpg");
    REQUIRE_SHARED_FIXTURE(png_path, "screenshots/fossify-calculator_unit-converter_1080x2400.png");
    image::EncodedImage e = image::encode_image(jpg);
    EXPECT_EQ(e.width, 617);
    EXPECT_EQ(e.height, 1280);
    EXPECT_EQ(cv::norm(decode_b64_png(e.b64), image::load_rgb(jpg), cv::NORM_INF), 0.0);

    e = image::encode_image(png_path, 95, 0.5);
    EXPECT_EQ(e.width, 1080);
    cv::Mat half = decode_b64_png(e.b64);
    EXPECT_EQ(half.size(), cv::Size(540, 1200));
    cv::Mat expected = resample::resize(image::load_rgb(png_path), 540, 1200, resample::Filter::Lanczos);
    EXPECT_EQ(cv::norm(half, expected, cv::NORM_INF), 0.0);
}

TEST(Base64ToImageBytes, DecodesAndRejectsBadPadding) {
    EXPECT_EQ(image::base64_to_image_bytes("iVBO\nRw0K"), std::string("\x89PNG\r\n", 6));
    EXPECT_THROW(image::base64_to_image_bytes("iVBORw0"), DecodeError);
}

TEST(Drawing, RectangleOutlineLiesInsideTheBox) {
    cv::Mat img(40, 40, CV_8UC3, cv::Scalar::all(255));
    image::draw_rectangle(img, {20, 25, 5, 10}, {0, 255, 0});  // inverted corners are put in order
    EXPECT_EQ(rgb(img, 5, 10), kGreen);
    EXPECT_EQ(rgb(img, 7, 17), kGreen);   // third column of the left side
    EXPECT_EQ(rgb(img, 8, 17), kWhite);   // inside
    EXPECT_EQ(rgb(img, 18, 17), kGreen);  // right side, x2 - 2
    EXPECT_EQ(rgb(img, 12, 23), kGreen);  // bottom side, y2 - 2
    EXPECT_EQ(rgb(img, 12, 22), kWhite);
    EXPECT_EQ(rgb(img, 21, 17), kWhite);  // nothing outside the box
    EXPECT_EQ(rgb(img, 12, 26), kWhite);

    // A box thinner than the line is filled, not spilled over.
    image::draw_rectangle(img, {30, 30, 31, 30}, {255, 0, 0});
    EXPECT_EQ(rgb(img, 31, 30), cv::Vec3b(255, 0, 0));
    EXPECT_EQ(rgb(img, 32, 30), kWhite);
    EXPECT_EQ(rgb(img, 30, 31), kWhite);

    // Boxes reaching past or lying wholly outside the image are clipped, never fail.
    image::draw_rectangle(img, {-10, -10, 1000, 2}, {0, 0, 255});
    EXPECT_EQ(rgb(img, 39, 0), cv::Vec3b(0, 0, 255));
    EXPECT_NO_THROW(image::draw_rectangle(img, {100, 100, 200, 200}, {0, 0, 255}));
    EXPECT_NO_THROW(image::draw_rectangle(img, {INT64_MIN, INT64_MIN, INT64_MAX, INT64_MAX}, {1, 1, 1}));
}

TEST(Drawing, CircleIsARingOfTheLineWidth) {
    cv::Mat img(30, 30, CV_8UC3, cv::Scalar::all(255));
    image::draw_circle(img, 15, 15, 6, {0, 255, 0});
    for (int d : {4, 5, 6}) {
        EXPECT_EQ(rgb(img, 15 + d, 15), kGreen) << d;
        EXPECT_EQ(rgb(img, 15, 15 - d), kGreen) << d;
    }
    EXPECT_EQ(rgb(img, 15, 15), kWhite);
    EXPECT_EQ(rgb(img, 18, 15), kWhite);
    EXPECT_EQ(rgb(img, 22, 15), kWhite);
    EXPECT_EQ(rgb(img, 21, 21), kWhite);  // the square's corner is outside the circle
    EXPECT_NO_THROW(image::draw_circle(img, 0, 29, 6, {0, 255, 0}));  // clipped at the border
    EXPECT_EQ(rgb(img, 5, 29), kGreen);
}

TEST(AnnotateImage, NamesFilesFromTheStemAndSafeSuffix) {
    TempDir dir;
    cv::Mat img(100, 100, CV_8UC3, cv::Scalar::all(255));
    std::string jpg = save(dir, "home.jpg", img);
    const std::string out = dir.file("out/nested");

    std::string path = image::annotate_image(jpg, Json{0, 0, 1000, 1000}, 100, 100, out);
    EXPECT_EQ(path, out + "/home_locate.png");
    cv::Mat drawn = cv::imread(path, cv::IMREAD_UNCHANGED);
    ASSERT_EQ(drawn.type(), CV_8UC3);  // a real PNG file
    EXPECT_EQ(rgb(drawn, 0, 0), kGreen);
    EXPECT_EQ(rgb(drawn, 99, 99), kGreen);
    EXPECT_EQ(rgb(drawn, 55, 49), kGreen);  // centre circle at (49, 49), radius 6
    EXPECT_EQ(rgb(drawn, 49, 49), kWhite);
    EXPECT_EQ(rgb(drawn, 30, 30), kWhite);

    EXPECT_EQ(image::annotate_image(jpg, Json{0, 0, 10, 10}, 100, 100, out, "two words "),
              out + "/home_two-words.png");
    EXPECT_EQ(image::annotate_image(jpg, Json{0, 0, 10, 10}, 100, 100, out, ""), out + "/home_locate.png");
    EXPECT_EQ(image::annotate_image(jpg, Json{0, 0, 10, 10}, 100, 100, out, std::nullopt), out + "/home_locate.png");
    // The second run replaced the first: the small box leaves the far corner white.
    EXPECT_EQ(rgb(cv::imread(out + "/home_locate.png"), 99, 99), kWhite);
    // A suffix cannot lead the file out of the output directory.
    EXPECT_EQ(image::annotate_image(jpg, Json{0, 0, 10, 10}, 100, 100, out, "../../escape"),
              out + "/home_..-..-escape.png");
    EXPECT_EQ(image::safe_suffix(std::string(" \tglyph pin\n")), "glyph-pin");
    EXPECT_FALSE(stdfs::exists(dir.file("escape.png")));
}

TEST(AnnotateImage, FailuresPropagateWithoutOutputFiles) {
    TempDir dir;
    std::string png_path = save(dir, "s.png", cv::Mat(10, 10, CV_8UC3, cv::Scalar::all(0)));
    const std::string out = dir.file("out");
    EXPECT_THROW_MSG(image::annotate_image(png_path, Json{1, 2, 3}, 10, 10, out), IndexError,
                     "list index out of range");
    EXPECT_THROW(image::annotate_image(dir.file("none.png"), Json{0, 0, 1, 1}, 10, 10, out), FileSystemError);
    testsupport::write_text(dir.file("bad.png"), "garbage");
    EXPECT_THROW(image::annotate_image(dir.file("bad.png"), Json{0, 0, 1, 1}, 10, 10, out), ImageError);
    EXPECT_TRUE(stdfs::is_empty(out));
    testsupport::write_text(dir.file("file"), "x");
    EXPECT_THROW(image::annotate_image(png_path, Json{0, 0, 1, 1}, 10, 10, dir.file("file/sub")), FileSystemError);
}

TEST(AnnotateImageMulti, PaletteFollowsPositionsIncludingSkippedBoxes) {
    TempDir dir;
    std::string path = save(dir, "s.png", cv::Mat(100, 700, CV_8UC3, cv::Scalar::all(255)));
    // Seven boxes side by side: the seventh wraps round to green again.
    Json boxes = Json::array();
    for (int i = 0; i < 7; ++i) boxes.push_back({i * 140 + 5, 100, i * 140 + 120, 900});
    cv::Mat drawn = cv::imread(image::annotate_image_multi(path, boxes, 700, 100, dir.str(), "multi"));
    const std::vector<cv::Vec3b> palette = {{0, 255, 0},   {255, 0, 0},   {0, 128, 255}, {255, 128, 0},
                                            {128, 0, 255}, {0, 200, 200}, {0, 255, 0}};
    for (int i = 0; i < 7; ++i) {
        const int x1 = static_cast<int>((i * 140 + 5) / 1000.0 * 700);
        EXPECT_EQ(rgb(drawn, x1, 50), palette[i]) << i;
    }

    // Entries that are not four-element lists are skipped but use up their colour.
    Json mixed = Json::array({Json{0, 0, 100, 1000}, Json{1, 2, 3}, Json{500, 0, 600, 1000}, "x", nullptr});
    drawn = cv::imread(image::annotate_image_multi(path, mixed, 700, 100, dir.str(), "mixed"));
    EXPECT_EQ(rgb(drawn, 0, 50), palette[0]);
    EXPECT_EQ(rgb(drawn, 350, 50), palette[2]);

    // Nothing drawable: the unmarked copy is still written.
    std::string empty = image::annotate_image_multi(path, Json::array(), 700, 100, dir.str());
    EXPECT_EQ(empty, dir.file("s_locate.png"));
    EXPECT_EQ(rgb(cv::imread(empty), 0, 0), kWhite);
    EXPECT_THROW(image::annotate_image_multi(path, Json("boxes"), 700, 100, dir.str()), TypeError);
}

TEST(AnnotateImage, RealScreenshotWithOddWidth) {
    REQUIRE_SHARED_FIXTURE(jpg, "screenshots/evilinsult_language-dialog_617x1280.jpg");
    TempDir dir;
    std::string path = image::annotate_image(jpg, Json{100, 200, 900, 300}, 617, 1280, dir.str(), "glyphpin");
    EXPECT_EQ(path, dir.file("evilinsult_language-dialog_617x1280_glyphpin.png"));
    cv::Mat drawn = cv::imread(path);
    ASSERT_EQ(drawn.size(), cv::Size(617, 1280));
    PixelBox b = image::to_absolute_box(Json{100, 200, 900, 300}, 617, 1280);
    EXPECT_EQ(rgb(drawn, static_cast<int>(b[0]), static_cast<int>(b[1])), kGreen);
    EXPECT_EQ(rgb(drawn, static_cast<int>(b[2]), static_cast<int>(b[3])), kGreen);
}

TEST(CaptureScreenshot, WritesTheDevicePngUnderATimeStampedName) {
    testsupport::FakeAdb adb;
    adb.add_device("emulator-5554", "device", "Pixel_7");
    cv::Mat screen(64, 32, CV_8UC3, cv::Scalar(10, 20, 30));
    std::vector<uchar> png_bytes;
    cv::imencode(".png", screen, png_bytes);
    const std::string png(png_bytes.begin(), png_bytes.end());
    adb.set_screencap("emulator-5554", png);
    adb.set_screencap("emulator-5554", testsupport::tiny_png(7, 5), 2);
    TempDir dir;

    image::CapturedScreenshot shot = image::capture_screenshot_to_file(std::nullopt, dir.file("shots/new"));
    EXPECT_EQ(shot.resolved_device_id, "emulator-5554");
    const std::string name = stdfs::path(shot.file_path).filename().string();
    EXPECT_EQ(stdfs::path(shot.file_path).parent_path(), stdfs::path(dir.file("shots/new")));
    ASSERT_EQ(name.size(), 19u) << name;  // %Y%m%d_%H%M%S.png
    for (size_t i = 0; i < 15; ++i) EXPECT_TRUE(i == 8 ? name[i] == '_' : std::isdigit(name[i])) << name;
    EXPECT_EQ(name.substr(15), ".png");
    EXPECT_EQ(testsupport::read_text(shot.file_path), png);  // the device's bytes, unchanged

    shot = image::capture_screenshot_to_file(std::string("emulator-5554"), dir.str(), 2);
    EXPECT_EQ(image::load_rgb(shot.file_path).size(), cv::Size(7, 5));
}

TEST(CaptureScreenshot, DeviceFailuresComeBeforeAnythingIsCreated) {
    testsupport::FakeAdb adb;
    TempDir dir;
    const std::string out = dir.file("never");
    EXPECT_THROW_MSG(image::capture_screenshot_to_file(std::nullopt, out), RuntimeError, "No ADB devices detected");
    adb.add_device("SER1");
    EXPECT_THROW_MSG(image::capture_screenshot_to_file(std::string("SER2"), out), RuntimeError,
                     "Device not found: SER2");
    // No screenshot on the device: it answers "Capturing failed." instead of a PNG.
    EXPECT_THROW(image::capture_screenshot_to_file(std::string("SER1"), out), RuntimeError);
    EXPECT_FALSE(stdfs::exists(out));

    adb.set_screencap("SER1", testsupport::tiny_png(2, 2));
    testsupport::write_text(dir.file("file"), "x");
    EXPECT_THROW(image::capture_screenshot_to_file(std::string("SER1"), dir.file("file/sub")), FileSystemError);
}

namespace {

// A gray+alpha PNG of the first and last channel of `img`, built by hand (the
// general encoder cannot write this kind) with the rows cycling through all five
// filter types.
std::string gray_alpha_png(const cv::Mat& img) {
    const int w = img.cols, h = img.rows;
    auto px = [&](int x, int y, int c) -> int {
        if (x < 0 || y < 0) return 0;
        const cv::Vec4b p = img.at<cv::Vec4b>(y, x);
        return c == 0 ? p[0] : p[3];
    };
    std::string raw;
    for (int y = 0; y < h; ++y) {
        const int filter = y % 5;
        raw.push_back(static_cast<char>(filter));
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 2; ++c) {
                const int v = px(x, y, c), a = px(x - 1, y, c), b = px(x, y - 1, c), d = px(x - 1, y - 1, c);
                int pred = 0;
                if (filter == 1) pred = a;
                if (filter == 2) pred = b;
                if (filter == 3) pred = (a + b) / 2;
                if (filter == 4) {
                    const int p = a + b - d, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - d);
                    pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : d);
                }
                raw.push_back(static_cast<char>((v - pred) & 255));
            }
        }
    }
    uLongf zlen = compressBound(static_cast<uLong>(raw.size()));
    std::string z(zlen, '\0');
    compress2(reinterpret_cast<Bytef*>(z.data()), &zlen, reinterpret_cast<const Bytef*>(raw.data()),
              static_cast<uLong>(raw.size()), 9);
    z.resize(zlen);
    auto be32 = [](std::uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    auto chunk = [&](const std::string& type, const std::string& data) {
        const std::string body = type + data;
        const auto crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
        return be32(static_cast<std::uint32_t>(data.size())) + body + be32(crc);
    };
    const std::string ihdr = be32(w) + be32(h) + std::string{8, 4, 0, 0, 0};
    return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", z) + chunk("IEND", "");
}

}  // namespace

TEST(PngReader, AgreesWithTheGeneralDecoderOnEveryKindItTakes) {
    // Gray, gray+alpha, RGB and RGBA, written with every filter type (adaptive
    // filtering at a high compression level), plus real screenshots.
    cv::Mat base(37, 53, CV_8UC4);
    std::mt19937 rng(3);
    for (int y = 0; y < base.rows; ++y)
        for (int x = 0; x < base.cols; ++x)
            base.at<cv::Vec4b>(y, x) = cv::Vec4b((x * 5 + rng() % 3) & 255, (y * 7) & 255, (x * y) & 255, rng() & 255);
    std::vector<cv::Mat> images;
    for (int channels : {1, 3, 4}) {
        std::vector<cv::Mat> planes;
        cv::split(base, planes);
        planes.resize(channels);
        cv::Mat img;
        cv::merge(planes, img);
        images.push_back(img);
    }
    std::vector<std::string> files;
    for (const cv::Mat& img : images) {
        for (int level : {-1, 9}) {
            std::vector<uchar> buf;
            std::vector<int> params;
            if (level >= 0) params = {cv::IMWRITE_PNG_COMPRESSION, level};
            ASSERT_TRUE(cv::imencode(".png", img, buf, params));
            files.emplace_back(buf.begin(), buf.end());
        }
    }
    files.push_back(gray_alpha_png(base));
    for (const char* name : {"screenshots/aegis_settings_1440x2880.png", "diffpairs/q03_shot_empty-case_size-mismatch_b.png"}) {
        std::string path = testsupport::shared_fixture(name);
        if (!path.empty()) files.push_back(testsupport::read_text(path));
    }
    for (size_t i = 0; i < files.size(); ++i) {
        std::optional<cv::Mat> fast = png::decode(files[i]);
        ASSERT_TRUE(fast.has_value()) << i;
        cv::Mat general = cv::imdecode(cv::Mat(1, static_cast<int>(files[i].size()), CV_8UC1, files[i].data()),
                                       cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
        EXPECT_EQ(cv::norm(*fast, general, cv::NORM_INF), 0.0) << i;
    }

    // Kinds it leaves to the general decoder: 16-bit, non-PNG data.
    std::vector<uchar> sixteen;
    cv::imencode(".png", cv::Mat(4, 4, CV_16UC3, cv::Scalar(1000, 2000, 3000)), sixteen);
    EXPECT_FALSE(png::decode(std::string(sixteen.begin(), sixteen.end())).has_value());
    EXPECT_FALSE(png::decode("GIF89a").has_value());
    TempDir dir;
    testsupport::write_text(dir.file("sixteen.png"), std::string(sixteen.begin(), sixteen.end()));
    EXPECT_EQ(rgb(image::load_rgb(dir.file("sixteen.png")), 0, 0), cv::Vec3b(3000 >> 8, 2000 >> 8, 1000 >> 8));
}

TEST(PngReader, DamagedFilesFailCleanly) {
    cv::Mat img(40, 60, CV_8UC3);
    cv::randu(img, 0, 255);
    std::vector<uchar> buf;
    cv::imencode(".png", img, buf, {cv::IMWRITE_PNG_COMPRESSION, 6});
    const std::string good(buf.begin(), buf.end());
    // Every cut and a flipped byte at many places: an error or (for cuts after the
    // image data) the image, never a crash or a read out of bounds.
    for (size_t cut = 0; cut < good.size(); cut += 7) {
        try {
            std::optional<cv::Mat> m = png::decode(good.substr(0, cut));
            if (m) {
                EXPECT_EQ(cv::norm(*m, img, cv::NORM_INF), 0.0);
            }
        } catch (const ImageError&) {
        }
    }
    for (size_t at = 8; at < good.size(); at += 13) {
        std::string bad = good;
        bad[at] = static_cast<char>(bad[at] ^ 0x5A);
        EXPECT_THROW(png::decode(bad), ImageError) << at;
    }
}
