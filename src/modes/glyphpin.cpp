#include "modes/glyphpin.hpp"

#include <droidlens/errors.hpp>
#include <droidlens/modelwire.hpp>

#include "utils/args.hpp"
#include "utils/image.hpp"
#include "utils/regex.hpp"
#include "utils/text.hpp"
#include "utils/values.hpp"

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cwctype>
#include <locale.h>
#include <map>
#include <utility>
#include <wctype.h>

namespace droidlens::glyphpin {

namespace {

constexpr const char* kToolName = "return_text_bboxes";

constexpr const char* kSystemEn =
    "You are an OCR locator. Find the requested text on the screenshot.\n"
    "Rules:\n"
    "- Return a JSON tool call with an `items` array.\n"
    "- Each item is one matching value copied from the screenshot, with its `bounding_box`.\n"
    "- If multiple matches exist, include them all in reading order (top-to-bottom, left-to-right).\n"
    "- If nothing matches, return `items`: [] (empty list).\n"
    "- If the request references a specific key/row label (e.g., \"NGX\"), include that label as an item with its "
    "bounding_box so row alignment can be verified.\n"
    "- Do not add any extra words like \"not found\" or \"empty\".\n";

constexpr const char* kSystemCn =
    "你是 OCR 文本定位器：在截图中找到用户要的文字和值。\n"
    "规则：\n"
    "- 返回一个包含 `items` 数组的 JSON tool call。\n"
    "- 每个 item 必须包含：`text`（截图中真实可见原文，逐字抄写）、`bounding_box`（0-1000 相对坐标，XYXY）、"
    "`confidence`、`page`。\n"
    "- 如果存在多个匹配，按从上到下、从左到右的阅读顺序全部返回。\n"
    "- 如果没有任何匹配，返回 `items`: []（空数组）。\n"
    "- 如果请求包含特定的关键标识/行名（例如'NGX对应...'），请把该标识及其 bounding_box 也作为一条 item 返回，"
    "便于做行对齐校验。\n"
    "- 不要输出任何额外解释（例如'为空/不存在/未找到/无/N/A'等）。\n";

const Json& tool_definition() {
    static const Json tool = Json::parse(R"({
        "type": "function",
        "function": {
            "name": "return_text_bboxes",
            "description": "Return all extracted values (copied from the screenshot) and their bounding boxes. If there are multiple matches, return them all; if none, return an empty list.",
            "parameters": {
                "type": "object",
                "properties": {
                    "items": {
                        "type": "array",
                        "description": "List of extracted values and their bounding boxes in reading order (top-to-bottom, left-to-right). Return [] if no match.",
                        "items": {
                            "type": "object",
                            "properties": {
                                "text": {"type": "string", "description": "Copy the value from the screenshot verbatim. Do not add any extra words."},
                                "bounding_box": {"type": "array", "items": {"type": "number"}, "description": "XYXY in 0-1000 relative coordinates."},
                                "confidence": {"type": "number"},
                                "page": {"type": "integer"}
                            },
                            "required": ["text", "bounding_box", "confidence", "page"]
                        }
                    }
                },
                "required": ["items"]
            }
        }
    })");
    return tool;
}

constexpr double kBandFactor = 1.5;
constexpr double kMinBand = 12.0;

// ---- UTF-8 and Unicode character classes ----

// The code point of a well-formed sequence of `len` bytes.
char32_t decode(std::string_view s, std::size_t len) {
    const auto b = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(s[i])); };
    switch (len) {
        case 1: return b(0);
        case 2: return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
        case 3: return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
        default: return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
    }
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Unicode white space as a dynamic language's str.isspace() sees it: the separators
// (Zs, Zl, Zp) and the control characters of bidirectional class WS, B or S.
bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// The Unicode simple lower-case mapping, from the C library's UTF-8 locale (ASCII
// only when the system has none).
char32_t to_lower(char32_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
    static const locale_t utf8 = [] {
        locale_t l = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        return l;
    }();
    if (utf8 == static_cast<locale_t>(0)) return c;
    return static_cast<char32_t>(::towlower_l(static_cast<wint_t>(c), utf8));
}

// Calls `f(code_point, byte_offset, byte_length)` for each character; a byte that
// does not start a well-formed sequence is passed as itself with length 1.
template <typename F>
void for_each_char(std::string_view s, F&& f) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t len = text::utf8_sequence_length(s.substr(i));
        if (len == 0) {
            f(static_cast<char32_t>(static_cast<unsigned char>(s[i])), i, std::size_t{1}, false);
            ++i;
            continue;
        }
        f(decode(s.substr(i), len), i, len, true);
        i += len;
    }
}

// `s` without leading and trailing Unicode white space.
std::string strip_unicode(std::string_view s) {
    std::size_t first = s.size(), last = 0;
    for_each_char(s, [&](char32_t c, std::size_t at, std::size_t len, bool valid) {
        if (valid && is_unicode_space(c)) return;
        if (first == s.size()) first = at;
        last = at + len;
    });
    return first == s.size() ? std::string() : std::string(s.substr(first, last - first));
}

// ---- Anchor helpers ----

// A label of the English forms must look like a code: an upper-case letter or a digit.
bool looks_like_code(std::string_view label) {
    return std::any_of(label.begin(), label.end(),
                       [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

// A list of exactly four numbers (booleans count as 1 and 0).
bool is_numeric_box(const Json& box) {
    return box.is_array() && box.size() == 4 && std::all_of(box.begin(), box.end(), values::is_number);
}

const Json* field(const Json& record, const char* key) {
    if (!record.is_object()) return nullptr;
    auto it = record.find(key);
    return it == record.end() ? nullptr : &*it;
}

// The tolerant readings of a record made by this mode: absent or false-valued
// confidence is 0.0, absent or false-valued page is 1.
double tolerant_confidence(const Json& item) {
    const Json* v = field(item, "confidence");
    return v == nullptr || values::is_false_valued(*v) ? 0.0 : common::answer_real(*v, "confidence");
}

std::int64_t tolerant_page(const Json& item) {
    const Json* v = field(item, "page");
    return v == nullptr || values::is_false_valued(*v) ? 1 : common::answer_int(*v, "page");
}

// A sort key that never holds NaN, so the ordering stays a strict weak order.
double sortable(double v) { return std::isnan(v) ? HUGE_VAL : v; }

}  // namespace

std::string _normalize_label(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for_each_char(text, [&](char32_t c, std::size_t at, std::size_t len, bool valid) {
        if (!valid) {
            out += text[at];
            return;
        }
        if (is_unicode_space(c)) return;
        if (len == 1) {
            out += static_cast<char>(to_lower(c));
            return;
        }
        append_utf8(out, to_lower(c));
    });
    return out;
}

std::string normalize_label_value(const Json& text) {
    if (!text.is_string()) args::throw_wrong_type("text", "str", text);
    return _normalize_label(text.get_ref<const std::string&>());
}

std::optional<std::string> _extract_anchor_label(std::string_view prompt) {
    if (const std::size_t bad = text::find_invalid_utf8(prompt); bad != std::string_view::npos)
        throw ValueError("The request is not valid UTF-8 text (at byte " + std::to_string(bad) + ")");
    struct Pattern {
        regex::Regex re;
        bool code_only;  // the English forms: accept only code-like labels
    };
    static const Pattern kPatterns[] = {
        {regex::Regex(R"((?:找到|查找|寻找|获取|定位)?\s*([A-Za-z0-9_-]+)\s*对应)", regex::kIgnoreCase), false},
        {regex::Regex(R"(\bfor\s+([A-Za-z0-9_-]+)\b)", regex::kIgnoreCase), true},
        {regex::Regex(R"(\bof\s+([A-Za-z0-9_-]+)\b)", regex::kIgnoreCase), true},
    };
    for (const Pattern& p : kPatterns) {
        std::size_t from = 0;
        while (auto m = p.re.search(prompt, from)) {
            const std::string label = m->str(1);
            if (!p.code_only || looks_like_code(label)) return label;
            // Look for a later match: from the next character after this one's start.
            from = m->start() + std::max<std::size_t>(1, text::utf8_sequence_length(prompt.substr(m->start())));
        }
    }
    return std::nullopt;
}

Json _filter_items_for_anchor(const Json& items, std::string_view anchor_label) {
    Json kept = Json::array();
    if (!items.is_array()) return kept;
    const std::string anchor_norm = _normalize_label(anchor_label);

    const Json* anchor = nullptr;
    double best = 0.0;
    for (const Json& item : items) {
        const Json* text = field(item, "text");
        const std::string norm = text ? normalize_label_value(*text) : std::string();
        if (norm != anchor_norm) continue;
        const double confidence = tolerant_confidence(item);
        if (anchor == nullptr || confidence > best) {
            anchor = &item;
            best = confidence;
        }
    }
    if (anchor == nullptr) return kept;

    const Json* box = field(*anchor, "bounding_box");
    if (box == nullptr || !is_numeric_box(*box)) return kept;
    const double anchor_y1 = values::number_value((*box)[1]);
    const double anchor_y2 = values::number_value((*box)[3]);
    const double anchor_center_y = (anchor_y1 + anchor_y2) / 2;
    const double threshold = std::max(std::fabs(anchor_y2 - anchor_y1) * kBandFactor, kMinBand);
    const std::int64_t anchor_page = tolerant_page(*anchor);

    for (const Json& item : items) {
        if (!item.is_object() || tolerant_page(item) != anchor_page) continue;
        const Json* b = field(item, "bounding_box");
        if (b == nullptr || !is_numeric_box(*b)) continue;
        const double center_y = (values::number_value((*b)[1]) + values::number_value((*b)[3])) / 2;
        if (std::fabs(center_y - anchor_center_y) <= threshold) kept.push_back(item);
    }
    return kept;
}

void require_images(const std::vector<std::string>& image_paths, const char* operation) {
    if (image_paths.empty()) throw ValueError(std::string(operation) + " needs at least one image");
}

Json query_messages(const char* system_text, const std::string& lang, const std::string& prompt,
                    common::ImageMessages&& images) {
    const std::string label = lang == "en" ? "User request" : "用户请求";
    Json messages = Json::array({common::text_message("system", system_text),
                                 common::text_message("user", label + ": " + prompt)});
    for (Json& m : images.messages) messages.push_back(std::move(m));
    return messages;
}

const Json& tool_items(const Json& arguments) {
    static const Json kNone = Json::array();
    const Json* items = field(arguments, "items");
    return items != nullptr && items->is_array() ? *items : kNone;
}

std::optional<std::string> item_text(const Json& element) {
    const Json* v = field(element, "text");
    if (v == nullptr || values::is_false_valued(*v)) return std::nullopt;
    std::string text = strip_unicode(values::to_text(*v));
    if (text.empty()) return std::nullopt;
    return text;
}

double item_confidence(const Json& element, std::size_t index) {
    const Json* v = field(element, "confidence");
    if (v == nullptr || values::is_false_valued(*v)) return 0.0;
    return common::answer_real(*v, "items[" + std::to_string(index) + "].confidence");
}

std::int64_t item_page(const Json& element, std::size_t index, std::optional<std::size_t> page_count) {
    const Json* v = field(element, "page");
    std::int64_t page = v == nullptr ? 1 : common::answer_int(*v, "items[" + std::to_string(index) + "].page");
    page = std::max<std::int64_t>(page, 1);
    if (page_count) page = std::min<std::int64_t>(page, std::max<std::int64_t>(1, static_cast<std::int64_t>(*page_count)));
    return page;
}

Json page_records(const std::vector<std::string>& image_paths, const std::vector<common::Dimensions>& dimensions) {
    Json pages = Json::array();
    for (std::size_t i = 0; i < dimensions.size(); ++i) {
        Json page = Json::object();
        page["page"] = i + 1;
        page["image_path"] = i < image_paths.size() ? image_paths[i] : std::string();
        page["image_dimensions"] = Json::array({dimensions[i][0], dimensions[i][1]});
        pages.push_back(std::move(page));
    }
    return pages;
}

std::string joined_text(const Json& items) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += '\n';
        out += items[i]["text"].get_ref<const std::string&>();
    }
    return out;
}

Json glyphpin_text(ChatModel& llm, const std::string& prompt, const std::vector<std::string>& image_paths,
                   std::int64_t image_quality, double resize_factor, const std::optional<std::string>& output_dir,
                   const std::string& lang) {
    require_images(image_paths, "glyphpin_text");
    // Read before the request, so that a request that cannot be read fails before
    // the model is asked.
    const std::optional<std::string> anchor_label = _extract_anchor_label(prompt);

    common::ImageMessages images = common::_build_image_messages(image_paths, image_quality, resize_factor,
                                                                 llm.answer_profile().max_image_side);
    const std::vector<common::Dimensions> dimensions = images.dimensions;
    common::ImageMessages sizes;  // what the boxes are converted with, once the messages are gone
    sizes.sent = images.sent;
    const Json messages = query_messages(lang == "en" ? kSystemEn : kSystemCn, lang, prompt, std::move(images));
    const Json response =
        llm.chat(messages, Json::array({tool_definition()}), common::forced_tool_choice(kToolName), 0.0);
    const Json arguments = common::_extract_tool_args(response, kToolName);

    Json items = Json::array();
    const Json& elements = tool_items(arguments);
    for (std::size_t i = 0; i < elements.size(); ++i) {
        const Json& element = elements[i];
        if (!element.is_object()) continue;
        std::optional<std::string> text = item_text(element);
        if (!text) continue;
        const Json* given_box = field(element, "bounding_box");
        const Json* given_page = field(element, "page");
        const Json box = given_box ? common::box_in_our_frame(*given_box, llm, sizes, given_page ? *given_page : Json(1))
                                   : Json::array({0, 0, 0, 0});
        if (!is_numeric_box(box)) continue;
        if (std::all_of(box.begin(), box.end(), [](const Json& v) { return values::number_value(v) == 0.0; }))
            continue;
        const std::int64_t page = item_page(element, i, image_paths.size());
        const double confidence = item_confidence(element, i);
        Json item = Json::object();
        item["text"] = std::move(*text);
        item["bounding_box"] = box;
        item["confidence"] = confidence;
        item["page"] = page;
        items.push_back(std::move(item));
    }

    // Reading order: page, then top edge, then left edge; equal keys keep the model's order.
    auto key = [](const Json& item) {
        const Json& b = item["bounding_box"];
        return std::make_tuple(item["page"].get<std::int64_t>(), sortable(values::number_value(b[1])),
                               sortable(values::number_value(b[0])));
    };
    std::stable_sort(items.begin(), items.end(), [&](const Json& a, const Json& b) { return key(a) < key(b); });

    if (anchor_label) {
        const Json filtered = _filter_items_for_anchor(items, *anchor_label);
        const std::string anchor_norm = _normalize_label(*anchor_label);
        Json final_items = Json::array();
        for (const Json& item : filtered) {
            if (normalize_label_value(item["text"]) != anchor_norm) final_items.push_back(item);
        }
        items = std::move(final_items);
    }

    Json result = Json::object();
    result["mode"] = "glyphpin";
    result["text"] = joined_text(items);
    result["pages"] = page_records(image_paths, dimensions);
    result["items"] = items;

    if (!output_dir || output_dir->empty()) return result;
    try {
        // The boxes of each page, pages in ascending order.
        const std::int64_t last = std::max<std::int64_t>(static_cast<std::int64_t>(image_paths.size()) - 1, 0);
        std::map<std::int64_t, Json> groups;
        for (const Json& item : items) {
            const std::int64_t index = std::min(item["page"].get<std::int64_t>() - 1, last);
            const Json& box = item["bounding_box"];
            if (box.is_array() && box.size() == 4) groups[index].push_back(box);
        }
        Json annotations = Json::array();
        for (auto& [index, boxes] : groups) {
            const auto at = static_cast<std::size_t>(index);
            if (at >= dimensions.size()) continue;
            const std::string path = image::annotate_image_multi(image_paths[at], boxes, dimensions[at][0],
                                                                 dimensions[at][1], *output_dir,
                                                                 "glyphpin-p" + std::to_string(index + 1));
            Json record = Json::object();
            record["page"] = index + 1;
            record["annotated_image_path"] = path;
            annotations.push_back(std::move(record));
        }
        if (!annotations.empty()) result["annotated_images"] = std::move(annotations);
    } catch (const FileSystemError&) {
        // The annotated copies are optional: a screenshot that went away or an output
        // directory that cannot be written leaves the result without them.
    }
    return result;
}

Json run(const ModeArgs& args) {
    ChatModel& llm = common::require_model(args, "glyphpin");
    const std::vector<std::string> paths = common::screenshots_or_capture(args);
    return glyphpin_text(llm, args.prompt, paths, 95, 1.0, args.output_dir, args.lang);
}

}  // namespace droidlens::glyphpin
