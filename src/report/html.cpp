#include "report/html.hpp"

#include "utils/base64.hpp"
#include "utils/text.hpp"

#include <openssl/evp.h>

#include <cstdio>

namespace droidlens::report {

namespace {

// Steps are long pages: j / k (or the arrow keys) jump to the next or previous
// section, and the table of contents stays in view.
constexpr std::string_view kScript = R"JS(
(function () {
  var sections = Array.prototype.slice.call(document.querySelectorAll('section.step'));
  function current() {
    var y = window.scrollY + 80, index = 0;
    sections.forEach(function (s, i) { if (s.offsetTop <= y) index = i; });
    return index;
  }
  function go(delta) {
    if (!sections.length) return;
    var i = Math.max(0, Math.min(sections.length - 1, current() + delta));
    sections[i].scrollIntoView({behavior: 'auto', block: 'start'});
  }
  document.addEventListener('keydown', function (e) {
    if (e.target && (e.target.tagName === 'INPUT' || e.target.tagName === 'TEXTAREA')) return;
    if (e.key === 'j' || e.key === 'ArrowDown' && e.altKey) { go(1); e.preventDefault(); }
    if (e.key === 'k' || e.key === 'ArrowUp' && e.altKey) { go(-1); e.preventDefault(); }
  });
})();
)JS";

constexpr std::string_view kStyle = R"CSS(
:root { --fg: #1d232b; --muted: #5d6875; --line: #d9dee4; --bg: #f6f7f9; --card: #fff;
        --ok: #1b7f3b; --warn: #a15c00; --err: #b3261e; --accent: #1f5fbf; }
* { box-sizing: border-box; }
body { margin: 0; font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif;
       color: var(--fg); background: var(--bg); }
header.page { padding: 20px 28px 12px; background: var(--card); border-bottom: 1px solid var(--line); }
header.page h1 { margin: 0 0 4px; font-size: 22px; }
header.page p.subtitle { margin: 0 0 12px; color: var(--muted); }
table.kv { border-collapse: collapse; }
table.kv th { text-align: left; font-weight: 600; color: var(--muted); padding: 2px 16px 2px 0;
              vertical-align: top; white-space: nowrap; }
table.kv td { padding: 2px 0; vertical-align: top; overflow-wrap: anywhere; }
nav.toc { padding: 8px 28px; background: var(--card); border-bottom: 1px solid var(--line);
          position: sticky; top: 0; z-index: 2; display: flex; flex-wrap: wrap; gap: 6px; }
nav.toc a { text-decoration: none; color: var(--accent); font-size: 13px; padding: 2px 8px;
            border: 1px solid var(--line); border-radius: 12px; background: var(--bg); }
nav.toc a.warn { color: var(--warn); } nav.toc a.error { color: var(--err); }
main { padding: 16px 28px 40px; max-width: 1400px; }
section.step { background: var(--card); border: 1px solid var(--line); border-radius: 8px;
               margin: 0 0 16px; padding: 14px 18px; display: flex; gap: 20px; flex-wrap: wrap;
               scroll-margin-top: 48px; }
section.step.warn { border-left: 4px solid var(--warn); }
section.step.error { border-left: 4px solid var(--err); }
section.step.ok { border-left: 4px solid var(--ok); }
section.step h2 { margin: 0 0 8px; font-size: 17px; width: 100%; }
.shots { display: flex; gap: 12px; flex-wrap: wrap; }
figure { margin: 0; }
figure img { display: block; max-height: 560px; max-width: min(100%, 420px); border: 1px solid var(--line);
             border-radius: 4px; background: #000; }
figure figcaption { color: var(--muted); font-size: 13px; margin-top: 4px; max-width: 420px; }
.details { flex: 1 1 380px; min-width: 300px; }
.details h3 { font-size: 13px; text-transform: uppercase; letter-spacing: .04em; color: var(--muted);
              margin: 12px 0 4px; }
pre { margin: 0; padding: 8px 10px; background: var(--bg); border: 1px solid var(--line); border-radius: 4px;
      white-space: pre-wrap; overflow-wrap: anywhere; font: 13px/1.4 ui-monospace, Menlo, Consolas, monospace; }
.note { margin: 6px 0; padding: 6px 10px; border-radius: 4px; font-size: 14px; white-space: pre-wrap;
        overflow-wrap: anywhere; }
.note.warning { background: #fff4e0; color: var(--warn); }
.note.feedback { background: #eef3fc; color: #22407a; }
.note.error { background: #fde8e6; color: var(--err); }
section.record { background: var(--card); border: 1px solid var(--line); border-radius: 8px; padding: 14px 18px; }
section.record h2 { margin: 0 0 8px; font-size: 17px; }
footer { color: var(--muted); font-size: 12px; padding: 0 28px 24px; }
)CSS";

std::string text_of(const Json& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_null()) return "";
    return dump_json(v);
}

const Json& member(const Json& object, const char* key) {
    static const Json null_value;
    if (!object.is_object()) return null_value;
    auto it = object.find(key);
    return it == object.end() ? null_value : *it;
}

// A data URL the page may show: PNG or JPEG, Base64 text only.
bool safe_image_src(const std::string& src) {
    constexpr std::string_view png = "data:image/png;base64,", jpeg = "data:image/jpeg;base64,";
    std::string_view rest;
    if (src.starts_with(png)) rest = std::string_view(src).substr(png.size());
    else if (src.starts_with(jpeg)) rest = std::string_view(src).substr(jpeg.size());
    else return false;
    for (char c : rest) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                        c == '/' || c == '=';
        if (!ok) return false;
    }
    return !rest.empty();
}

// An id usable in a fragment link: letters, digits, '-' and '_' only.
std::string safe_id(const std::string& id, size_t index) {
    std::string out;
    for (char c : id) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_')
            out += c;
    }
    return out.empty() ? "section-" + std::to_string(index + 1) : out;
}

std::string status_class(const Json& status) {
    const std::string s = text_of(status);
    return s == "ok" || s == "warn" || s == "error" ? s : "";
}

void key_values(std::string& out, const Json& pairs) {
    if (!pairs.is_array() || pairs.empty()) return;
    out += "<table class=\"kv\">";
    for (const Json& p : pairs) {
        if (!p.is_array() || p.size() < 2) continue;
        out += "<tr><th>" + escape_html(text_of(p[0])) + "</th><td>" + escape_html(text_of(p[1])) + "</td></tr>";
    }
    out += "</table>";
}

std::string script_hash() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(kScript.data(), kScript.size(), digest, &n, EVP_sha256(), nullptr);
    return base64::encode(std::string_view(reinterpret_cast<const char*>(digest), n));
}

}  // namespace

std::string escape_html(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    size_t i = 0;
    while (i < text.size()) {
        const size_t len = text::utf8_sequence_length(text.substr(i));
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (len == 1) {
            const char c = text[i];
            switch (c) {
                case '&': out += "&amp;"; break;
                case '<': out += "&lt;"; break;
                case '>': out += "&gt;"; break;
                case '"': out += "&quot;"; break;
                case '\'': out += "&#39;"; break;
                case '\0': out += "\xEF\xBF\xBD"; break;
                default: out += c;
            }
        } else {
            out.append(text.substr(i, len));
        }
        i += len;
    }
    return out;
}

std::string render_html(const Json& doc) {
    const std::string title = text_of(member(doc, "title"));
    std::string out;
    out.reserve(1 << 16);
    out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    out += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    out += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; img-src data:; "
           "style-src 'unsafe-inline'; script-src 'sha256-" +
           script_hash() + "'; base-uri 'none'; form-action 'none'\">\n";
    out += "<title>" + escape_html(title.empty() ? "droidlens report" : title) + "</title>\n";
    out += "<style>";
    out += kStyle;
    out += "</style>\n</head>\n<body>\n<header class=\"page\">\n";
    out += "<h1>" + escape_html(title.empty() ? "droidlens report" : title) + "</h1>\n";
    if (const std::string sub = text_of(member(doc, "subtitle")); !sub.empty())
        out += "<p class=\"subtitle\">" + escape_html(sub) + "</p>\n";
    key_values(out, member(doc, "header"));
    out += "\n</header>\n";

    const Json& sections = member(doc, "sections");
    if (sections.is_array() && sections.size() > 1) {
        out += "<nav class=\"toc\">";
        for (size_t i = 0; i < sections.size(); ++i) {
            const Json& s = sections[i];
            const std::string id = safe_id(text_of(member(s, "id")), i);
            const std::string cls = status_class(member(s, "status"));
            std::string label = text_of(member(s, "title"));
            if (label.empty()) label = std::to_string(i + 1);
            out += "<a href=\"#" + id + "\"" + (cls.empty() ? "" : " class=\"" + cls + "\"") + ">" +
                   escape_html(label) + "</a>";
        }
        out += "</nav>\n";
    }
    out += "<main>\n";
    if (sections.is_array()) {
        for (size_t i = 0; i < sections.size(); ++i) {
            const Json& s = sections[i];
            const std::string id = safe_id(text_of(member(s, "id")), i);
            const std::string cls = status_class(member(s, "status"));
            out += "<section class=\"step" + (cls.empty() ? "" : " " + cls) + "\" id=\"" + id + "\">\n";
            out += "<h2>" + escape_html(text_of(member(s, "title"))) + "</h2>\n";
            const Json& images = member(s, "images");
            if (images.is_array() && !images.empty()) {
                out += "<div class=\"shots\">";
                for (const Json& img : images) {
                    const std::string src = text_of(member(img, "src"));
                    const std::string caption = text_of(member(img, "caption"));
                    out += "<figure>";
                    if (safe_image_src(src))
                        out += "<img src=\"" + src + "\" alt=\"" + escape_html(caption) + "\">";
                    if (!caption.empty()) out += "<figcaption>" + escape_html(caption) + "</figcaption>";
                    out += "</figure>";
                }
                out += "</div>\n";
            }
            out += "<div class=\"details\">";
            key_values(out, member(s, "fields"));
            const Json& texts = member(s, "texts");
            if (texts.is_array()) {
                for (const Json& t : texts) {
                    const std::string label = text_of(member(t, "label"));
                    if (!label.empty()) out += "<h3>" + escape_html(label) + "</h3>";
                    out += "<pre>" + escape_html(text_of(member(t, "text"))) + "</pre>";
                }
            }
            const Json& notes = member(s, "notes");
            if (notes.is_array()) {
                for (const Json& n : notes) {
                    std::string kind = text_of(member(n, "kind"));
                    if (kind != "warning" && kind != "feedback" && kind != "error") kind = "warning";
                    out += "<div class=\"note " + kind + "\">" + escape_html(text_of(member(n, "text"))) + "</div>";
                }
            }
            out += "</div>\n</section>\n";
        }
    }
    const Json& record = member(doc, "record");
    if (!record.is_null()) {
        out += "<section class=\"record\"><h2>Result record</h2><pre>" + escape_html(dump_json_pretty(record)) +
               "</pre></section>\n";
    }
    out += "</main>\n<footer>Written by droidlens. The page is self-contained and loads nothing.</footer>\n";
    out += "<script>";
    out += kScript;
    out += "</script>\n</body>\n</html>\n";
    return out;
}

}  // namespace droidlens::report
