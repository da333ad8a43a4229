// The diff mode: region search, thresholds and limits on synthetic images, the
// drawn result, failures that must write nothing, and agreement with reference
// results on real screenshot pairs.
#include <droidlens/errors.hpp>

#include "modes/diff.hpp"
#include "raster_support.hpp"
#include "test_support.hpp"

#include <limits>

using namespace droidlens;
using namespace testsupport;
using diff::Box;
namespace stdfs = std::filesystem;

namespace {

std::string save(const TempDir& dir, const std::string& name, const Raster& img) { return save_png(dir, name, img); }

Raster mask_from(const std::vector<std::string>& rows) {
    Raster m(static_cast<int>(rows[0].size()), static_cast<int>(rows.size()), 1, 0);
    for (int y = 0; y < m.height(); ++y)
        for (int x = 0; x < m.width(); ++x) m.row(y)[x] = rows[y][x] == '#' ? 255 : 0;
    return m;
}

// The pixels of `img` equal to `colour`: how many, and their bounding box.
struct Ink {
    int count = 0, min_x = INT32_MAX, min_y = INT32_MAX;
};
Ink ink_of(const Raster& img, int x0, int y0, int w, int h, Rgb3 colour) {
    Ink ink;
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x)
            if (rgb_at(img, x, y) == colour) {
                ++ink.count;
                ink.min_x = std::min(ink.min_x, x);
                ink.min_y = std::min(ink.min_y, y);
            }
    return ink;
}

const Rgb3 kRed{255, 0, 0};
const Rgb3 kWhite{255, 255, 255};

}  // namespace

TEST(FindBoxes, FourConnectedRegionsInRasterOrderWithInclusiveBounds) {
    Raster mask = mask_from({
        "......#.",
        ".##...#.",
        ".#....##",
        "..#.....",  // touches the first region only at a corner
        "#.......",
        "###..#.#",  // a U shape that the flood must follow round
        "..#..###",
    });
    std::vector<Box> boxes = diff::_find_boxes(mask, 1);
    std::vector<Box> expected = {{6, 0, 7, 2}, {1, 1, 2, 2}, {2, 3, 2, 3}, {0, 4, 2, 6}, {5, 5, 7, 6}};
    EXPECT_EQ(boxes, expected);

    // min_area counts pixels exactly: the U has 5 pixels, the L 3, the corner pixel 1.
    EXPECT_EQ(diff::_find_boxes(mask, 5), (std::vector<Box>{{0, 4, 2, 6}, {5, 5, 7, 6}}));
    EXPECT_EQ(diff::_find_boxes(mask, 6), std::vector<Box>{});
    EXPECT_TRUE(diff::_find_boxes(Raster(3, 3, 1, 0), 0).empty());
    // Any non-zero value counts as set; a full mask is one region.
    EXPECT_EQ(diff::_find_boxes(Raster(5, 4, 1, 1), 20), (std::vector<Box>{{0, 0, 4, 3}}));
    EXPECT_THROW(diff::_find_boxes(Raster(5, 4, 3, 1), 1), ValueError);
}

TEST(FindBoxes, LargeRegionNeedsNoRecursion) {
    // A serpentine path through a 1000 x 1000 mask: one region of ~500k pixels whose
    // flood would overflow the call stack if it were recursive.
    Raster mask(1000, 1000, 1, 0);
    for (int y = 0; y < 1000; y += 2) std::fill_n(mask.row(y), 1000, std::uint8_t{255});
    for (int y = 1; y < 1000; y += 2) mask.row(y)[(y / 2) % 2 == 0 ? 999 : 0] = 255;
    EXPECT_EQ(diff::_find_boxes(mask, 500000), (std::vector<Box>{{0, 0, 999, 999}}));
}

TEST(ComputeDiff, IdenticalImagesGiveZeroAndAnUnmarkedCopy) {
    TempDir dir;
    Raster img = grey_image(64, 48, 90);
    fill(img, 5, 5, 20, 10, {30, 200, 10});
    std::string a = save(dir, "a.png", img), b = save(dir, "b.png", img);
    diff::DiffResult r = diff::compute_diff(a, b, dir.file("out"));
    EXPECT_EQ(r.diff_score, 0.0);
    EXPECT_TRUE(r.diff_boxes.empty());
    EXPECT_EQ(r.diff_image_path, dir.file("out/a_diff.png"));
    EXPECT_TRUE(image::load_rgb(r.diff_image_path) == img);
}

TEST(ComputeDiff, ThresholdIsStrictlyGreaterAtFullScale) {
    TempDir dir;
    std::string a = save(dir, "a.png", grey_image(40, 30, 100));
    Raster same_as_threshold = grey_image(40, 30, 100), above = grey_image(40, 30, 100);
    fill(same_as_threshold, 10, 5, 10, 10, {125, 125, 125});
    fill(above, 10, 5, 10, 10, {126, 126, 126});

    diff::DiffResult at = diff::compute_diff(a, save(dir, "b25.png", same_as_threshold), dir.str(), 25, 60, 1.0);
    EXPECT_TRUE(at.diff_boxes.empty());
    EXPECT_DOUBLE_EQ(at.diff_score, 100.0 * 25 / (40 * 30) / 255.0);

    diff::DiffResult over = diff::compute_diff(a, save(dir, "b26.png", above), dir.str(), 25, 60, 1.0);
    EXPECT_EQ(over.diff_boxes, (std::vector<Box>{{10, 5, 19, 14}}));
    // Drawn in red inside the box: its corner and the third pixel in, not the fourth.
    EXPECT_EQ(rgb_at(over.diff_image_path, 10, 5), kRed);
    EXPECT_EQ(rgb_at(over.diff_image_path, 12, 10), kRed);
    EXPECT_EQ(rgb_at(over.diff_image_path, 13, 10), (Rgb3{100, 100, 100}));
    EXPECT_EQ(rgb_at(over.diff_image_path, 9, 5), (Rgb3{100, 100, 100}));
}

TEST(ComputeDiff, ColourChangesAreWeightedByLuma) {
    TempDir dir;
    Raster a_img = grey_image(20, 20, 0), b_img = solid(20, 20, kRed);  // luma (255*19595 + 0x8000) >> 16 = 76
    diff::DiffResult r = diff::compute_diff(save(dir, "a.png", a_img), save(dir, "b.png", b_img), dir.str(), 25, 1,
                                            1.0);
    EXPECT_DOUBLE_EQ(r.diff_score, 76 / 255.0);
    EXPECT_EQ(r.diff_boxes, (std::vector<Box>{{0, 0, 19, 19}}));
}

TEST(ComputeDiff, DiagonalBlobsMinAreaAndOrdering) {
    TempDir dir;
    Raster a_img = grey_image(100, 60, 0), b_img = grey_image(100, 60, 0);
    auto blob = [&](int x, int y, int w, int h) { fill(b_img, x, y, w, h, kWhite); };
    blob(0, 0, 10, 6);    // 60 pixels, key 9*5 = 45
    blob(10, 6, 10, 6);   // touches the first only at a corner: a separate region, key 45
    blob(40, 0, 59, 1);   // 59 pixels: below min_area 60
    blob(40, 10, 30, 30); // largest, met last in the raster scan
    std::string a = save(dir, "a.png", a_img), b = save(dir, "b.png", b_img);

    diff::DiffResult r = diff::compute_diff(a, b, dir.str(), 25, 60, 1.0);
    EXPECT_EQ(r.diff_boxes, (std::vector<Box>{{40, 10, 69, 39}, {0, 0, 9, 5}, {10, 6, 19, 11}}));

    // The limit keeps the largest; among equal keys the one met first wins.
    EXPECT_EQ(diff::compute_diff(a, b, dir.str(), 25, 60, 1.0, 2).diff_boxes,
              (std::vector<Box>{{40, 10, 69, 39}, {0, 0, 9, 5}}));
    EXPECT_TRUE(diff::compute_diff(a, b, dir.str(), 25, 60, 1.0, 0).diff_boxes.empty());
    // A negative limit keeps nothing (not "all but the last").
    EXPECT_TRUE(diff::compute_diff(a, b, dir.str(), 25, 60, 1.0, -1).diff_boxes.empty());
    EXPECT_EQ(diff::compute_diff(a, b, dir.str(), 25, 59, 1.0).diff_boxes.size(), 4u);
}

TEST(ComputeDiff, ReducedMaskBoxesAreScaledBack) {
    TempDir dir;
    Raster a_img = grey_image(101, 81, 0), b_img = grey_image(101, 81, 0);
    fill(b_img, 40, 20, 40, 40, kWhite);
    std::string a = save(dir, "a.png", a_img), b = save(dir, "b.png", b_img);
    // 101 x 81 at 0.5 gives a 50 x 40 mask; boxes come back through 101/50 and 81/40.
    diff::DiffResult r = diff::compute_diff(a, b, dir.str());
    ASSERT_EQ(r.diff_boxes.size(), 1u);
    const Box& box = r.diff_boxes[0];
    EXPECT_NEAR(box[0], 40, 3);
    EXPECT_NEAR(box[1], 20, 3);
    EXPECT_NEAR(box[2], 79, 3);
    EXPECT_NEAR(box[3], 59, 3);

    // Scale 0: the mask is 1 x 1; with min_area 1 the box is the whole first pixel.
    EXPECT_EQ(diff::compute_diff(a, b, dir.str(), 25, 1, 0.0).diff_boxes, (std::vector<Box>{{0, 0, 0, 0}}));
    EXPECT_TRUE(diff::compute_diff(a, b, dir.str(), 25, 60, 0.0).diff_boxes.empty());
    // A negative scale also ends at one pixel per axis.
    EXPECT_EQ(diff::compute_diff(a, b, dir.str(), 25, 1, -2.0).diff_boxes, (std::vector<Box>{{0, 0, 0, 0}}));
}

TEST(ComputeDiff, SizeMismatchResamplesTheSecondImageAndSaysSo) {
    TempDir dir;
    std::string a = save(dir, "a.png", grey_image(120, 80, 200));
    std::string b = save(dir, "b.png", grey_image(60, 40, 200));
    diff::DiffResult r = diff::compute_diff(a, b, dir.str());
    EXPECT_EQ(r.diff_score, 0.0);  // a flat image resamples to the same flat image
    EXPECT_TRUE(r.diff_boxes.empty());
    const Raster out = image::load_rgb(r.diff_image_path);
    ASSERT_EQ(out.width(), 120);
    ASSERT_EQ(out.height(), 80);
    // The note is red text starting at (10, 10): no red above or left of it.
    const Ink ink = ink_of(out, 0, 0, 120, 80, kRed);
    EXPECT_GT(ink.count, 30);
    EXPECT_EQ(ink.min_x, 10);
    EXPECT_EQ(ink.min_y, 10);
}

TEST(ComputeDiff, OutputNamingAndDirectories) {
    TempDir dir;
    std::string a = save(dir, "a.b.png", grey_image(8, 8, 1));
    std::string b = save(dir, "b.png", grey_image(8, 8, 1));
    diff::DiffResult r = diff::compute_diff(a, b, dir.file("x/y/z"));
    EXPECT_EQ(r.diff_image_path, dir.file("x/y/z/a.b_diff.png"));
    EXPECT_TRUE(stdfs::exists(r.diff_image_path));
    // Rerunning replaces the file and leaves no temporary beside it.
    diff::compute_diff(a, b, dir.file("x/y/z"));
    EXPECT_EQ(std::distance(stdfs::directory_iterator(dir.file("x/y/z")), stdfs::directory_iterator{}), 1);

    // An output directory under a regular file cannot be created.
    testsupport::write_text(dir.file("plain"), "x");
    EXPECT_THROW(diff::compute_diff(a, b, dir.file("plain/out")), FileSystemError);
}

TEST(ComputeDiff, BadInputFailsBeforeAnythingIsWritten) {
    TempDir dir;
    std::string good = save(dir, "good.png", grey_image(8, 8, 1));
    testsupport::write_text(dir.file("text.png"), "not an image at all");
    testsupport::write_text(dir.file("empty.png"), "");
    const std::string out = dir.file("out");

    EXPECT_THROW_MSG(diff::compute_diff(good, dir.file("missing.png"), out), FileSystemError,
                     "No such file or directory: '" + dir.file("missing.png") + "'");
    EXPECT_THROW_MSG(diff::compute_diff(dir.file("text.png"), good, out), ImageError,
                     "Cannot identify image file '" + dir.file("text.png") + "'");
    EXPECT_THROW(diff::compute_diff(good, dir.file("empty.png"), out), ImageError);
    // A NaN or infinite scale is a conversion fault, as in the router and the model client.
    EXPECT_THROW_MSG(diff::compute_diff(good, good, out, 25, 60, std::nan("")), ConversionError,
                     "cannot convert float NaN to integer");
    EXPECT_THROW_MSG(diff::compute_diff(good, good, out, 25, 60, std::numeric_limits<double>::infinity()),
                     ConversionError, "cannot convert float infinity to integer");
    // A scale that would make an absurd mask is refused instead of exhausting memory.
    EXPECT_THROW(diff::compute_diff(good, good, out, 25, 60, 1e7), ValueError);
    EXPECT_FALSE(stdfs::exists(out));
}

TEST(DiffRun, RecordShapeAndArgumentChecks) {
    TempDir dir;
    ModeArgs args;
    args.image_paths = {save(dir, "a.png", grey_image(30, 30, 0)), save(dir, "b.png", grey_image(30, 30, 255)),
                        "/nonexistent/c.png"};
    args.output_dir = dir.file("o");
    // A third image would be left out of the comparison without a word: refused.
    EXPECT_THROW_MSG(diff::run(args), UsageError, "diff mode requires two images, got 3");
    args.image_paths.pop_back();
    Json r = diff::run(args);
    ASSERT_TRUE(r.is_object());
    std::vector<std::string> keys;
    for (auto it = r.begin(); it != r.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"mode", "diff_score", "diff_boxes", "diff_image_path"}));
    EXPECT_EQ(r["mode"], "diff");
    EXPECT_DOUBLE_EQ(r["diff_score"].get<double>(), 1.0);
    EXPECT_EQ(r["diff_boxes"], Json::parse("[[0,0,28,28]]"));  // 15 x 15 mask, scaled back by 2
    EXPECT_EQ(r["diff_image_path"], dir.file("o/a_diff.png"));

    ModeArgs one;
    one.image_paths = {args.image_paths[0]};
    one.output_dir = dir.file("never");
    EXPECT_THROW_MSG(diff::run(one), ValueError, "diff mode requires two images");
    one.image_paths.clear();
    EXPECT_THROW_MSG(diff::run(one), ValueError, "diff mode requires two images");
    EXPECT_FALSE(stdfs::exists(dir.file("never")));
}

// Real screenshot pairs against the results of the reference imaging library's
// implementation of the same steps (scores to the last bit, identical boxes).
struct PairCase {
    const char* a;
    const char* b;
    double score;
    std::vector<Box> boxes;
};

TEST(ComputeDiff, MatchesReferenceResultsOnRealPairs) {
    const std::vector<PairCase> cases = {
        {"q01_catima_add-card-icon-dark_a.png", "q01_catima_add-card-icon-dark_b.png", 0.00039238716748702225,
         {{92, 522, 154, 584}, {92, 534, 110, 552}}},
        {"q02_tusky_login_button-restyle_a.png", "q02_tusky_login_button-restyle_b.png", 0.0017964375050431695,
         {{596, 1520, 694, 1554}, {234, 1578, 844, 1582}, {234, 1484, 842, 1488}, {494, 1520, 574, 1546},
          {426, 1522, 472, 1552}, {820, 24, 856, 54}, {402, 1522, 422, 1546}, {1020, 130, 1028, 180}}},
        {"q03_shot_empty-case_size-mismatch_a.png", "q03_shot_empty-case_size-mismatch_b.png", 0.0212578227124183,
         {{0, 740, 478, 798}, {20, 56, 214, 90}, {232, 378, 276, 396}}},
        {"q04_shot_empty-case_single-pixel_a.png", "q04_shot_empty-case_single-pixel_b.png", 2.2977941176470586e-06,
         {}},
        {"q05_simple-calculator_mod-to-percent_a.png", "q05_simple-calculator_mod-to-percent_b.png",
         0.0005131655092592592, {{48, 540, 106, 570}, {112, 538, 130, 572}}},
        {"q06_evilinsult_overflow-menu_a.jpg", "q06_evilinsult_overflow-menu_b.jpg", 0.024267580918104683,
         {{272, 52, 608, 142}, {316, 268, 342, 288}, {374, 182, 394, 200}, {610, 144, 610, 310},
          {284, 328, 600, 328}}},
    };
    TempDir dir;
    for (const PairCase& c : cases) {
        REQUIRE_SHARED_FIXTURE(a, std::string("diffpairs/") + c.a);
        REQUIRE_SHARED_FIXTURE(b, std::string("diffpairs/") + c.b);
        SCOPED_TRACE(c.a);
        diff::DiffResult r = diff::compute_diff(a, b, dir.str());
        EXPECT_EQ(r.diff_score, c.score);  // to the last bit
        EXPECT_EQ(r.diff_boxes, c.boxes);
    }
}

// The same pairs under other thresholds, areas and reductions (full scale, which
// skips the bilinear reduction, and odd factors), pinned to the results recorded
// before the imaging layer was rewritten: the box count and an FNV-1a digest of
// every coordinate, so that decoding, resampling or the region search cannot drift
// unnoticed.
struct PinnedRun {
    const char* pair;
    std::int64_t threshold, min_area;
    double scale, score;
    size_t count;
    std::uint64_t digest;
};

std::uint64_t box_digest(const std::vector<Box>& boxes) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (const Box& b : boxes) {
        for (std::int64_t v : b) h = (h ^ static_cast<std::uint64_t>(v)) * 0x100000001b3ull;
    }
    return h;
}

TEST(ComputeDiff, PinnedResultsOnRealPairsUnderOtherParameters) {
    const std::vector<PinnedRun> runs = {
        {"q01_catima_add-card-icon-dark", 25, 1, 1, 0.00039238716748702225, 2, 0x3f4365edc94ebff7ull},
        {"q01_catima_add-card-icon-dark", 10, 20, 0.25, 0.00039238716748702225, 2, 0xb45b091464d49285ull},
        {"q01_catima_add-card-icon-dark", 40, 5, 0.3, 0.00039238716748702225, 2, 0x49fb8faf360a3b98ull},
        {"q02_tusky_login_button-restyle", 25, 1, 1, 0.0017964375050431695, 40, 0x8b4310761da47423ull},
        {"q02_tusky_login_button-restyle", 10, 20, 0.25, 0.0017964375050431695, 6, 0xa2f22ce5db25ae41ull},
        {"q02_tusky_login_button-restyle", 40, 5, 0.3, 0.0017964375050431695, 16, 0xfa0439e76002cce5ull},
        {"q03_shot_empty-case_size-mismatch", 25, 1, 1, 0.021257822712418301, 33, 0x6d6609095f36e08full},
        {"q03_shot_empty-case_size-mismatch", 10, 20, 0.25, 0.021257822712418301, 6, 0x9b5a0f782ab69311ull},
        {"q03_shot_empty-case_size-mismatch", 40, 5, 0.3, 0.021257822712418301, 8, 0x83c4ade778c3574full},
        {"q04_shot_empty-case_single-pixel", 25, 1, 1, 2.2977941176470586e-06, 1, 0xbc5099a1eaba4d49ull},
        {"q04_shot_empty-case_single-pixel", 40, 5, 0.3, 2.2977941176470586e-06, 0, 0xcbf29ce484222325ull},
        {"q05_simple-calculator_mod-to-percent", 25, 1, 1, 0.00051316550925925922, 9, 0xcfb1e455544b59c4ull},
        {"q05_simple-calculator_mod-to-percent", 10, 20, 0.25, 0.00051316550925925922, 1, 0xe407b204303ad8e9ull},
        {"q05_simple-calculator_mod-to-percent", 40, 5, 0.3, 0.00051316550925925922, 1, 0x96586b9cf7411c4full},
        {"q06_evilinsult_overflow-menu", 25, 1, 1, 0.024267580918104683, 44, 0xd53267c67786bab4ull},
        {"q06_evilinsult_overflow-menu", 10, 20, 0.25, 0.024267580918104683, 3, 0xf064d006410c45d1ull},
        {"q06_evilinsult_overflow-menu", 40, 5, 0.3, 0.024267580918104683, 4, 0x5b69a9c4be2a847dull},
    };
    TempDir dir;
    for (const PinnedRun& run : runs) {
        const std::string ext = std::string(run.pair).rfind("q06", 0) == 0 ? ".jpg" : ".png";
        REQUIRE_SHARED_FIXTURE(a, std::string("diffpairs/") + run.pair + "_a" + ext);
        REQUIRE_SHARED_FIXTURE(b, std::string("diffpairs/") + run.pair + "_b" + ext);
        SCOPED_TRACE(std::string(run.pair) + " threshold " + std::to_string(run.threshold) + " min_area " +
                     std::to_string(run.min_area) + " scale " + std::to_string(run.scale));
        diff::DiffResult r = diff::compute_diff(a, b, dir.str(), run.threshold, run.min_area, run.scale, 100);
        EXPECT_EQ(r.diff_score, run.score);
        EXPECT_EQ(r.diff_boxes.size(), run.count);
        EXPECT_EQ(box_digest(r.diff_boxes), run.digest);
    }
}

TEST(ComputeDiff, SinglePixelChangeIsFoundAtFullScale) {
    REQUIRE_SHARED_FIXTURE(a, "diffpairs/q04_shot_empty-case_single-pixel_a.png");
    REQUIRE_SHARED_FIXTURE(b, "diffpairs/q04_shot_empty-case_single-pixel_b.png");
    TempDir dir;
    diff::DiffResult r = diff::compute_diff(a, b, dir.str(), 25, 1, 1.0);
    EXPECT_EQ(r.diff_boxes, (std::vector<Box>{{374, 661, 374, 661}}));
    // A box thinner than the line width is filled, and nothing spills outside it.
    EXPECT_EQ(rgb_at(r.diff_image_path, 374, 661), kRed);
    EXPECT_NE(rgb_at(r.diff_image_path, 375, 661), kRed);
    EXPECT_NE(rgb_at(r.diff_image_path, 374, 660), kRed);
}

TEST(ComputeDiff, SizeMismatchPairCarriesTheNote) {
    REQUIRE_SHARED_FIXTURE(a, "diffpairs/q03_shot_empty-case_size-mismatch_a.png");
    REQUIRE_SHARED_FIXTURE(b, "diffpairs/q03_shot_empty-case_size-mismatch_b.png");
    TempDir dir;
    diff::DiffResult r = diff::compute_diff(a, b, dir.str());
    const Raster out = image::load_rgb(r.diff_image_path);
    ASSERT_EQ(out.width(), 480);
    ASSERT_EQ(out.height(), 800);
    EXPECT_GT(ink_of(out, 0, 0, 240, 30, kRed).count, 30);
}

// ---- Options: masks, merged regions, limits and the pass/fail verdict ----

namespace {

using Kind = diff::MaskArea::Kind;

// A copy of `img` whose status-bar clock reads one minute later: the text columns
// of the bar are found as runs of bright pixels, and the last glyph ("0" of
// "12:30") is replaced by the first ("1"), as a device's clock moves between two
// captures.
Raster clock_moved(const Raster& img, int bar_rows) {
    std::vector<std::pair<int, int>> runs;  // [first, last] columns of each glyph
    for (int x = 0; x < img.width() / 3; ++x) {
        bool ink = false;
        for (int y = 0; y < bar_rows && !ink; ++y) ink = rgb_at(img, x, y)[0] > 200;
        if (ink && (runs.empty() || runs.back().second != x - 1)) runs.push_back({x, x});
        else if (ink) runs.back().second = x;
    }
    EXPECT_EQ(runs.size(), 5u) << "the example's clock is not 12:30 any more";
    Raster out = img;
    const auto [first, first_end] = runs.front();
    const auto [last, last_end] = runs.back();
    const Rgb3 background = rgb_at(img, last_end + 2, 2);
    fill(out, last, 0, last_end - last + 1, bar_rows, background);
    for (int y = 0; y < bar_rows; ++y)
        for (int x = first; x <= first_end; ++x) std::copy_n(img.pixel(x, y), 3, out.pixel(last + (x - first), y));
    return out;
}

// Whether some row of [x0, x1) x [y0, y1) holds white pixels with red on both
// sides: a number on a red tag.
bool has_tag(const Raster& img, int x0, int y0, int x1, int y1) {
    for (int y = std::max(y0, 0); y < std::min(y1, img.height()); ++y) {
        int red_left = -1, white = -1;
        for (int x = std::max(x0, 0); x < std::min(x1, img.width()); ++x) {
            const Rgb3 c = rgb_at(img, x, y);
            if (c == kRed && white >= 0 && red_left >= 0) return true;
            if (c == kRed) red_left = x;
            if (c == kWhite && red_left >= 0) white = x;
        }
    }
    return false;
}

}  // namespace

TEST(DiffOptions, MasksAreReadStrictlyAndBarsFollowTheImageSize) {
    const diff::MaskArea m = diff::parse_mask(" 0, 12.5 ,1000,40");
    EXPECT_EQ(m.kind, Kind::Rect);
    EXPECT_EQ(m.rect, (std::array<double, 4>{0, 12.5, 1000, 40}));
    EXPECT_EQ(diff::parse_mask("status-bar").kind, Kind::StatusBar);
    EXPECT_EQ(diff::parse_mask("nav-bar").kind, Kind::NavBar);
    for (const char* bad : {"", "1,2,3", "1,2,3,4,5", "a,b,c,d", "0,0,1001,10", "-1,0,10,10", "10,0,10,20",
                            "0,30,10,20", "nan,0,10,10", "0x1,0,10,10", "Status-Bar"}) {
        EXPECT_THROW(diff::parse_mask(bad), UsageError) << bad;
    }
    // 40 dp and 48 dp, the shorter side taken as 360 dp: portrait and landscape alike,
    // rounded up on a 480 x 800 screen.
    EXPECT_EQ(diff::bar_height(Kind::StatusBar, 1080, 2400), 120);
    EXPECT_EQ(diff::bar_height(Kind::StatusBar, 2400, 1080), 120);
    EXPECT_EQ(diff::bar_height(Kind::NavBar, 1080, 2340), 144);
    EXPECT_EQ(diff::bar_height(Kind::StatusBar, 480, 800), 54);
}

TEST(DiffOptions, MergingJoinsBoxesCloserThanTheGapUntilNoneAre) {
    using diff::AreaBox;
    // Adjacent boxes (no pixel between) are 0 apart: merged by gap 1, never by gap 0.
    const std::vector<AreaBox> touching = {{{3, 0, 5, 2}, 9}, {{0, 0, 2, 2}, 9}};
    EXPECT_EQ(diff::_merge_boxes(touching, 0).size(), 2u);
    const std::vector<AreaBox> one = diff::_merge_boxes(touching, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].box, (Box{0, 0, 5, 2}));
    EXPECT_EQ(one[0].pixels, 18);

    // P and Q are 7 columns apart; S bridges them. R lies 7 rows below P and S but
    // only 3 below the box that P, S and Q make: it joins in a later round.
    const std::vector<AreaBox> chain = {
        {{10, 0, 12, 2}, 1}, {{0, 0, 2, 2}, 2}, {{4, 10, 6, 12}, 4}, {{4, 4, 6, 6}, 8}, {{40, 40, 41, 41}, 16}};
    const std::vector<AreaBox> merged = diff::_merge_boxes(chain, 5);
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(merged[0].box, (Box{0, 0, 12, 12}));
    EXPECT_EQ(merged[0].pixels, 15);
    EXPECT_EQ(merged[1].box, (Box{40, 40, 41, 41}));
    // Unmerged boxes come back in raster order of their top-left corners.
    const std::vector<AreaBox> apart = diff::_merge_boxes(chain, 1);
    ASSERT_EQ(apart.size(), 5u);
    EXPECT_EQ(apart[1].box, (Box{10, 0, 12, 2}));
}

TEST(DiffOptions, AChangedTextLineBecomesOneRegion) {
    // Tusky's button label "LOGIN WITH TUSKY" became "Login with Tusky": by default
    // four word and glyph boxes, each a separate region.
    REQUIRE_SHARED_FIXTURE(a, "diffpairs/q02_tusky_login_button-restyle_a.png");
    REQUIRE_SHARED_FIXTURE(b, "diffpairs/q02_tusky_login_button-restyle_b.png");
    TempDir dir;
    const std::vector<Box> plain = diff::compute_diff(a, b, dir.str()).diff_boxes;
    auto on_label_line = [](const Box& box) { return box[1] >= 1510 && box[3] <= 1560; };
    ASSERT_EQ(std::count_if(plain.begin(), plain.end(), on_label_line), 4);

    diff::Options o;
    o.merge_gap = 8;
    const diff::DiffResult r = diff::compute_diff(a, b, dir.file("merged"), o);
    std::vector<diff::Region> line;
    for (const diff::Region& g : r.regions)
        if (on_label_line(g.box)) line.push_back(g);
    ASSERT_EQ(line.size(), 1u);
    for (const Box& p : plain) {
        if (!on_label_line(p)) continue;
        EXPECT_TRUE(line[0].box[0] <= p[0] && line[0].box[1] <= p[1] && line[0].box[2] >= p[2] &&
                    line[0].box[3] >= p[3]);
    }
    // The score does not depend on how regions are drawn.
    EXPECT_EQ(r.diff_score, 0.0017964375050431695);
    // Each kept region is numbered on a red tag next to its box (the label line sits
    // on a light blue button, the others on the dark page).
    const Raster out = image::load_rgb(r.diff_image_path);
    for (const diff::Region& g : r.regions) {
        SCOPED_TRACE(g.box[1]);
        EXPECT_TRUE(has_tag(out, static_cast<int>(g.box[0]), static_cast<int>(g.box[1]) - 40,
                            static_cast<int>(g.box[0]) + 60, static_cast<int>(g.box[1]) + 40));
    }
}

TEST(DiffOptions, AMovingStatusBarClockPassesUnderTheStatusBarMask) {
    // The bundled example screen (always present) and a copy whose clock moved on.
    TempDir dir;
    const Raster before = image::load_rgb(testsupport::source_dir() + "/examples/settings_before.png");
    const std::string a = save(dir, "golden.png", before);
    const std::string b = save(dir, "now.png", clock_moved(before, 80));

    ModeArgs args;
    args.image_paths = {a, b};
    args.output_dir = dir.file("out");
    const Json open = diff::run(args, diff::Options{}, 0.0);
    EXPECT_GT(open["diff_score"].get<double>(), 0.0);
    EXPECT_EQ(open["passed"], false);
    ASSERT_EQ(open["regions"].size(), 1u);
    EXPECT_LT(open["regions"][0]["box"][3].get<int>(), 80);  // the clock itself

    diff::Options masked;
    masked.masks = {diff::parse_mask("status-bar")};
    const Json r = diff::run(args, masked, 0.0);
    EXPECT_EQ(r["diff_score"].get<double>(), 0.0);  // masked pixels count as unchanged
    EXPECT_EQ(r["regions"], Json::array());
    EXPECT_EQ(r["passed"], true);
    // The masked bar is drawn half-way to grey; the page below it is untouched.
    const Raster out = image::load_rgb(r["diff_image_path"].get<std::string>());
    const Rgb3 bar = rgb_at(before, 540, 10), shaded = rgb_at(out, 540, 10);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(shaded[static_cast<size_t>(c)], (bar[static_cast<size_t>(c)] + 128) / 2);
    EXPECT_EQ(rgb_at(out, 540, 120), rgb_at(before, 540, 120));
}

TEST(DiffOptions, LimitsKeepTheLargestAndZeroKeepsAll) {
    REQUIRE_SHARED_FIXTURE(a, "diffpairs/q06_evilinsult_overflow-menu_a.jpg");
    REQUIRE_SHARED_FIXTURE(b, "diffpairs/q06_evilinsult_overflow-menu_b.jpg");
    TempDir dir;
    diff::Options all;
    all.max_boxes = 0;
    all.min_area = 1;
    const diff::DiffResult every = diff::compute_diff(a, b, dir.str(), all);
    ASSERT_GT(every.regions.size(), 10u);
    double shares = 0;
    for (size_t i = 0; i < every.regions.size(); ++i) {
        shares += every.regions[i].share;
        if (i > 0) {
            const Box &p = every.regions[i - 1].box, &q = every.regions[i].box;
            EXPECT_GE((p[2] - p[0]) * (p[3] - p[1]), (q[2] - q[0]) * (q[3] - q[1]));
        }
    }
    EXPECT_NEAR(shares, 1.0, 1e-9);  // with no area limit every changed pixel is in a region

    diff::Options ten = all;
    ten.max_boxes = 10;
    const diff::DiffResult first = diff::compute_diff(a, b, dir.str(), ten);
    ASSERT_EQ(first.regions.size(), 10u);
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(first.regions[i].box, every.regions[i].box);
    EXPECT_EQ(first.diff_boxes.size(), 10u);

    // The area limit counts changed pixels of the full-size image.
    diff::Options large = all;
    large.min_area = 300;
    for (const diff::Region& g : diff::compute_diff(a, b, dir.str(), large).regions) EXPECT_GE(g.area, 300);
}

TEST(DiffOptions, RecordShapeVerdictAndMasksFromRegions) {
    REQUIRE_SHARED_FIXTURE(a, "diffpairs/q03_shot_empty-case_size-mismatch_a.png");
    REQUIRE_SHARED_FIXTURE(b, "diffpairs/q03_shot_empty-case_size-mismatch_b.png");
    TempDir dir;
    ModeArgs args;
    args.image_paths = {a, b};
    args.output_dir = dir.file("out");
    const Json r = diff::run(args, diff::Options{}, 0.01);
    std::vector<std::string> keys;
    for (auto it = r.begin(); it != r.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"mode", "diff_score", "diff_boxes", "diff_image_path", "regions",
                                              "resized", "passed"}));
    EXPECT_EQ(r["diff_score"].get<double>(), 0.021257822712418301);  // the plain run's score
    EXPECT_EQ(r["passed"], false);
    EXPECT_EQ(r["resized"], true);
    ASSERT_FALSE(r["regions"].empty());
    for (size_t i = 0; i < r["regions"].size(); ++i) EXPECT_EQ(r["regions"][i]["box"], r["diff_boxes"][i]);

    // A region's 0-1000 box given back as a mask removes that region and no other.
    const Json first = r["regions"][0];
    const Json& bb = first["bounding_box"];
    diff::Options o;
    o.masks = {diff::parse_mask(std::to_string(bb[0].get<int>()) + "," + std::to_string(bb[1].get<int>()) + "," +
                                std::to_string(bb[2].get<int>()) + "," + std::to_string(bb[3].get<int>()))};
    const Json without = diff::run(args, o, std::nullopt);
    EXPECT_FALSE(without.contains("passed"));
    EXPECT_LT(without["diff_score"].get<double>(), r["diff_score"].get<double>());
    EXPECT_EQ(without["regions"].size(), r["regions"].size() - 1);
    for (const Json& g : without["regions"]) EXPECT_NE(g["box"], first["box"]);

    // Options out of range fail before anything is written.
    args.output_dir = dir.file("never");
    diff::Options negative;
    negative.merge_gap = -1;
    EXPECT_THROW(diff::run(args, negative, std::nullopt), UsageError);
    for (double bad : {-0.1, 1.5, std::nan("")}) EXPECT_THROW(diff::run(args, diff::Options{}, bad), UsageError);
    EXPECT_FALSE(stdfs::exists(dir.file("never")));
}
