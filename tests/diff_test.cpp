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
