#include "device/adb/displays.hpp"

#include "device/adb/device_text.hpp"
#include "device/adb/hostcall.hpp"
#include "utils/regex.hpp"
#include "utils/subprocess.hpp"
#include "utils/text.hpp"

#include <droidlens/errors.hpp>

#include <chrono>
#include <cstdint>
#include <exception>
#include <limits>
#include <map>
#include <utility>
#include <vector>

namespace droidlens::adb {

namespace {

constexpr std::chrono::seconds kReportTimeout{10};
constexpr const char* kNoDisplayReport = "No output from `dumpsys display`";

// The patterns that read the two reports, compiled once. `match` anchors at the start
// of a line, `search` looks anywhere in a section.
const regex::Regex& DISPLAY_SECTION_RE() {  // each raw line of the display report (match)
    static const regex::Regex re(R"re(^\s*Display\s+(\d+):\s*$)re");
    return re;
}
const regex::Regex& DISPLAY_INFO_NAME_RE() {  // section text (search)
    static const regex::Regex re(R"re(DisplayInfo\{"([^"]+)")re");
    return re;
}
const regex::Regex& PRIMARY_DEVICE_RE() {  // each raw line of a section (match)
    static const regex::Regex re(R"re(^\s*mPrimaryDisplayDevice=(.+?)\s*$)re");
    return re;
}
const regex::Regex& UNIQUE_ID_RE() {  // section text (search)
    static const regex::Regex re(R"re(\buniqueId\s+"([^"]+)")re");
    return re;
}
const regex::Regex& TYPE_RE() {  // section text (search)
    static const regex::Regex re(R"re(\btype\s+([A-Z_]+)\b)re");
    return re;
}
const regex::Regex& REAL_SIZE_RE() {  // section text (search)
    static const regex::Regex re(R"re(\breal\s+(\d+)\s+x\s+(\d+)\b)re");
    return re;
}
const regex::Regex& DEVICE_PRODUCT_NAME_RE() {  // section text (search)
    static const regex::Regex re(R"re(\bdeviceProductInfo\s+DeviceProductInfo\{name=([^,}]+))re");
    return re;
}
const regex::Regex& SURFACEFLINGER_DISPLAY_LINE_RE() {  // each trimmed line of the SurfaceFlinger report (match)
    static const regex::Regex re(R"re(^Display\s+(\d+)\s+\(HWC display\s+(\d+)\):\s*(.*)$)re");
    return re;
}
const regex::Regex& SURFACEFLINGER_KV_RE() {  // the tail of a SurfaceFlinger display line (all matches)
    static const regex::Regex re(R"re((\w+)=(".*?"|\S+))re");
    return re;
}

// The code point that starts at byte `i` of valid UTF-8 text, and its length.
std::pair<char32_t, std::size_t> code_point(std::string_view s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    auto cont = [&](std::size_t k) { return char32_t(static_cast<unsigned char>(s[i + k]) & 0x3F); };
    if (c < 0x80) return {c, 1};
    if (c < 0xE0) return {(char32_t(c & 0x1F) << 6) | cont(1), 2};
    if (c < 0xF0) return {(char32_t(c & 0x0F) << 12) | (cont(1) << 6) | cont(2), 3};
    return {(char32_t(c & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3), 4};
}

// The report as UTF-8 text: a byte that does not start a well-formed sequence becomes
// U+FFFD, so that a stray byte in one line does not cost the whole listing.
std::string as_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t len = text::utf8_sequence_length(bytes.substr(i));
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(bytes.substr(i, len));
            i += len;
        }
    }
    return out;
}

// White space as Unicode defines it (what a dynamic language's strip() removes).
bool is_unicode_space(char32_t c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F) || c == 0x85 || c == 0xA0 ||
           c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Start of the code point that ends just before byte `end` of valid UTF-8 text.
std::size_t previous_start(std::string_view s, std::size_t end) {
    std::size_t i = end - 1;
    while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
    return i;
}

std::string_view strip(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e) {
        const auto [c, len] = code_point(s, b);
        if (!is_unicode_space(c)) break;
        b += len;
    }
    while (e > b) {
        const std::size_t start = previous_start(s, e);
        if (!is_unicode_space(code_point(s, start).first)) break;
        e = start;
    }
    return s.substr(b, e - b);
}

// Lines split at every line boundary: \n, \r, \r\n, \v, \f, \x1c-\x1e, U+0085,
// U+2028 and U+2029, breaks removed; no empty piece after a final break.
std::vector<std::string_view> split_lines(std::string_view s) {
    std::vector<std::string_view> lines;
    std::size_t start = 0, i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t brk = 0;
        if (c == '\r') brk = i + 1 < s.size() && s[i + 1] == '\n' ? 2 : 1;
        else if (c == '\n' || c == '\v' || c == '\f' || (c >= 0x1C && c <= 0x1E)) brk = 1;
        else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85) brk = 2;
        else if (c == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80 &&
                 (static_cast<unsigned char>(s[i + 2]) == 0xA8 || static_cast<unsigned char>(s[i + 2]) == 0xA9))
            brk = 3;
        if (brk == 0) {
            ++i;
            continue;
        }
        lines.push_back(s.substr(start, i - start));
        i += brk;
        start = i;
    }
    if (start < s.size()) lines.push_back(s.substr(start));
    return lines;
}

// Decimal digits 0-9 as a 64-bit integer; nothing for other text or a value that
// does not fit.
std::optional<std::int64_t> to_int(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    std::int64_t v = 0;
    for (char ch : digits) {
        if (ch < '0' || ch > '9') return std::nullopt;
        const int d = ch - '0';
        if (v > (std::numeric_limits<std::int64_t>::max() - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

// A field value read as an integer the lenient way: surrounding blanks, an optional
// sign, digits with single underscores between them ("1_000").
std::optional<std::int64_t> field_int(std::string_view text) {
    text = strip(text);
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    std::string digits;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '_' && i > 0 && i + 1 < text.size() && text[i - 1] != '_' && text[i + 1] != '_') continue;
        digits += text[i];
    }
    const auto v = to_int(digits);
    if (!v) return std::nullopt;
    return negative ? -*v : *v;
}

void remove_line_breaks(std::string& s) {
    std::erase_if(s, [](char c) { return c == '\n' || c == '\r'; });
}

proc::ProcessResult run_report(const std::optional<std::string>& device_id, std::vector<std::string> words) {
    auto argv = adb_prefix(device_id);
    argv.insert(argv.end(), {"shell", "dumpsys"});
    argv.insert(argv.end(), words.begin(), words.end());
    return proc::run_process(argv, kReportTimeout);
}

}  // namespace

Json parse_surfaceflinger_displays(std::string_view report_bytes) {
    const std::string report = as_utf8(report_bytes);
    Json records = Json::array();
    const std::string_view text = strip(report);
    if (text.empty()) return records;
    for (const std::string_view raw : split_lines(text)) {
        const std::string_view line = strip(raw);
        const auto m = SURFACEFLINGER_DISPLAY_LINE_RE().match(line);
        if (!m) continue;
        const auto hwc = to_int(*m->group(2));
        if (!hwc) continue;  // no hardware-composer id has that many digits

        std::map<std::string, std::string> fields;  // a later duplicate key overwrites
        const std::string_view tail = m->group(3).value_or("");
        for (const auto& kv : SURFACEFLINGER_KV_RE().find_all(tail)) {
            std::string value = kv.str(2);
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
            else if (value == "\"") value.clear();  // one quote both starts and ends it
            fields[kv.str(1)] = std::move(value);
        }
        auto field = [&](const char* key) {
            const auto it = fields.find(key);
            return it == fields.end() ? std::string() : it->second;
        };
        Json port = nullptr;
        if (const auto it = fields.find("port"); it != fields.end())
            if (const auto p = field_int(it->second)) port = *p;

        Json record = Json::object();
        record["surfaceflinger_display_id"] = m->str(1);
        record["surfaceflinger_display_name"] = field("displayName");
        record["hwc_display_id"] = *hwc;
        record["port"] = port;
        record["pnp_id"] = field("pnpId");
        records.push_back(std::move(record));
    }
    return records;
}

Json parse_displays(std::string_view display_report, const Json& surfaceflinger_displays) {
    const std::string report = as_utf8(display_report);
    if (strip(report).empty()) throw DeviceError(kNoDisplayReport);

    // Sections run from a "Display N:" header to the next header or the end of the
    // report; a repeated header continues its earlier section.
    std::vector<std::pair<std::int64_t, std::vector<std::string_view>>> sections;
    std::vector<std::string_view>* current = nullptr;
    for (const std::string_view line : split_lines(report)) {
        if (const auto m = DISPLAY_SECTION_RE().match(line)) {
            if (const auto id = to_int(*m->group(1))) {
                current = nullptr;
                for (auto& [sid, lines] : sections)
                    if (sid == *id) current = &lines;
                if (!current) current = &sections.emplace_back(*id, std::vector<std::string_view>{}).second;
                continue;
            }
        }
        if (current) current->push_back(line);
    }

    // SurfaceFlinger displays by id; a later line with the same id wins.
    std::map<std::string, const Json*> physical;
    if (surfaceflinger_displays.is_array())
        for (const Json& sf : surfaceflinger_displays)
            if (sf.is_object() && sf.contains("surfaceflinger_display_id") &&
                sf["surfaceflinger_display_id"].is_string())
                physical[sf["surfaceflinger_display_id"].get<std::string>()] = &sf;

    Json records = Json::array();
    for (const auto& [id, lines] : sections) {
        std::string text;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (i) text += '\n';
            text.append(lines[i]);
        }
        auto first_group = [&](const regex::Regex& re) -> std::optional<std::string> {
            const auto m = re.search(text);
            if (!m) return std::nullopt;
            return m->str(1);
        };

        std::string name;
        if (const auto n = first_group(DISPLAY_INFO_NAME_RE())) name = strip(*n);
        if (name.empty()) {
            for (const std::string_view line : lines)
                if (const auto m = PRIMARY_DEVICE_RE().match(line)) {
                    name = strip(m->str(1));
                    break;
                }
        }
        std::string unique_id;
        if (auto u = first_group(UNIQUE_ID_RE())) {
            remove_line_breaks(*u);
            unique_id = strip(*u);
        }
        std::string type;
        if (const auto t = first_group(TYPE_RE())) type = strip(*t);
        Json real_size = Json::array();
        if (const auto m = REAL_SIZE_RE().search(text)) {
            const auto w = to_int(*m->group(1)), h = to_int(*m->group(2));
            if (w && h) real_size = {*w, *h};
        }
        std::string product;
        if (auto p = first_group(DEVICE_PRODUCT_NAME_RE())) {
            remove_line_breaks(*p);
            product = strip(*p);
        }
        std::string sf_id;
        if (unique_id.rfind("local:", 0) == 0) sf_id = strip(std::string_view(unique_id).substr(6));
        const Json* joined = nullptr;
        if (!sf_id.empty())
            if (const auto it = physical.find(sf_id); it != physical.end()) joined = it->second;
        auto joined_value = [&](const char* key, const Json& otherwise) {
            if (!joined || !joined->contains(key)) return otherwise;
            return (*joined)[key];
        };

        Json record = Json::object();
        record["display_id"] = id;
        record["display_name"] = name;
        record["type"] = type;
        record["unique_id"] = unique_id;
        record["real_size"] = std::move(real_size);
        record["device_product_name"] = product;
        record["surfaceflinger_display_id"] = sf_id;
        record["surfaceflinger_display_name"] = joined_value("surfaceflinger_display_name", "");
        record["hwc_display_id"] = joined_value("hwc_display_id", nullptr);
        record["hwc_port"] = joined_value("port", nullptr);
        records.push_back(std::move(record));
    }
    return records;
}

Json list_surfaceflinger_displays(const std::optional<std::string>& device_id) {
    return parse_surfaceflinger_displays(run_report(device_id, {"SurfaceFlinger", "--display-id"}).stdout_data);
}

Json list_displays(const std::optional<std::string>& device_id) {
    const proc::ProcessResult display = run_report(device_id, {"display"});
    if (strip(as_utf8(display.stdout_data)).empty()) {
        // adb's own complaint (device offline, unauthorized) says why there is nothing.
        if (display.exit_code != 0) {
            try {
                std::string why = detail::device_text(display.stderr_data);
                if (why == "no output") why = "adb exited with status " + std::to_string(display.exit_code);
                throw DeviceError(detail::failure_prefix("dumpsys display", device_id) + ": " + why);
            } catch (...) {
                std::throw_with_nested(DeviceError(kNoDisplayReport));
            }
        }
        throw DeviceError(kNoDisplayReport);
    }
    const Json physical = list_surfaceflinger_displays(device_id);
    return parse_displays(display.stdout_data, physical);
}

std::string screencap_display_id(const Json& displays, std::int64_t display_id) {
    for (const Json& d : displays) {
        if (!d.is_object() || d.value("display_id", Json()) != display_id) continue;
        const Json& sf = d.value("surfaceflinger_display_id", Json());
        if (sf.is_string() && !sf.get_ref<const std::string&>().empty()) return sf.get<std::string>();
        break;
    }
    return std::to_string(display_id);
}

}  // namespace droidlens::adb
