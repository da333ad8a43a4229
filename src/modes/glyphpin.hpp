// The "glyphpin" mode: finds the text values a request asks for on the screenshots
// and returns each with its box, confidence and page. A request that names a row
// label (an anchor such as "NGX" in "NGX对应的价格" or "price for NGX") keeps only
// the values on that label's row.
//
// Also the pieces the "ocr" mode shares with it: the anchor functions, the readings
// of the model's items, the page records and the request messages.
#pragma once

#include <droidlens/json.hpp>
#include <droidlens/route.hpp>

#include "modes/common.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace droidlens::glyphpin {

// ---- Anchor labels ----

// `text` with every Unicode white-space character removed (blanks, tabs, line
// breaks, U+00A0, U+3000, ...) and the rest lower-cased with the Unicode simple case
// mapping: "NGX 01" and "ngx01" both give "ngx01".
std::string _normalize_label(std::string_view text);
// The same for a value from a record; TypeError when it is not text.
std::string normalize_label_value(const Json& text);

// The anchor label of a request, as written in it, or nullopt. Tried in order, each
// searched case-insensitively with Unicode rules for \s and \b:
//   1. "(?:找到|查找|寻找|获取|定位)?\s*([A-Za-z0-9_-]+)\s*对应"   ("NGX对应...")
//   2. "\bfor\s+([A-Za-z0-9_-]+)\b"                            ("price for NGX")
//   3. "\bof\s+([A-Za-z0-9_-]+)\b"                             ("value of X9")
// The English forms take a word only when it looks like a code (it holds an
// upper-case letter or a digit), so "list of apps" or "total for this month" name no
// anchor; a refused word lets the search go on to a later match, then to the next
// pattern. ValueError for a request that is not valid UTF-8.
std::optional<std::string> _extract_anchor_label(std::string_view prompt);

// The items on the same page and row band as the item showing `anchor_label` (the
// most confident one when several do; the earliest on a tie), in input order, the
// anchor item included. The band is centred on the anchor's vertical centre with a
// half-height of max(1.5 x its height, 12.0) in the 0-1000 space, bounds inclusive.
// Empty when no item shows the label or the anchor's box is not four numbers.
Json _filter_items_for_anchor(const Json& items, std::string_view anchor_label);

// ---- The mode ----

// Asks the model, through the forced tool "return_text_bboxes", for the values the
// request names; cleans them (items without text or a four-number non-zero box are
// dropped, pages clamped to the screenshots), orders them by (page, top, left),
// narrows them to the anchor's row when the request names one (dropping the label's
// own item) and, when `output_dir` is present and not empty, writes one annotated
// copy per page that holds a box (<stem>_glyphpin-p<N>.png; skipped on file-system
// errors). Returns {"mode", "text", "pages", "items"[, "annotated_images"]}.
// `lang` "en" selects the English prompt, anything else the Chinese one.
Json glyphpin_text(ChatModel& llm, const std::string& prompt, const std::vector<std::string>& image_paths,
                   std::int64_t image_quality = 95, double resize_factor = 1.0,
                   const std::optional<std::string>& output_dir = std::nullopt, const std::string& lang = "cn");

// Mode entry: captures a screenshot into output_dir when no image is given.
Json run(const ModeArgs& args);

// ---- Shared with the ocr mode ----

// ValueError "<operation> needs at least one image" for an empty list.
void require_images(const std::vector<std::string>& image_paths, const char* operation);

// [system message, user message "<label>: <prompt>", the image messages...], with
// the label "User request" for `lang` "en" and "用户请求" otherwise.
Json query_messages(const char* system_text, const std::string& lang, const std::string& prompt,
                    common::ImageMessages&& images);

// The "items" list of the tool's arguments; an empty list when it is absent or not a list.
const Json& tool_items(const Json& arguments);

// The cleaned text of an item: its "text" (absent or false-valued: empty) as text,
// trimmed of Unicode white space; nullopt when nothing is left.
std::optional<std::string> item_text(const Json& element);
// Its "confidence" as a real number, 0.0 when absent or false-valued.
double item_confidence(const Json& element, std::size_t index);
// Its "page" (absent: 1) as an integer, at least 1 and, with `page_count`, at most
// max(1, page_count). A value that is no integer is a ConversionError naming the item.
std::int64_t item_page(const Json& element, std::size_t index, std::optional<std::size_t> page_count);

// One {"page", "image_path", "image_dimensions"} record per screenshot.
Json page_records(const std::vector<std::string>& image_paths, const std::vector<common::Dimensions>& dimensions);

// The "text" values of the items joined with "\n".
std::string joined_text(const Json& items);

}  // namespace droidlens::glyphpin
