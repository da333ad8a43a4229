// Run reports: one self-contained HTML page that shows what the model saw and did.
//
// The page is rendered from a report document (JSON) that the recorder fills while
// a mode runs:
//   {"title": text, "subtitle": text,
//    "header": [[label, value], ...],
//    "sections": [{"id": text, "title": text, "status": "ok"|"warn"|"error"|"",
//                  "images": [{"src": "data:image/jpeg;base64,...", "caption": text}],
//                  "fields": [[label, value], ...],
//                  "texts": [{"label": text, "text": text}],
//                  "notes": [{"kind": "warning"|"feedback"|"error", "text": text}]}],
//    "record": any JSON (shown as the result record)}
// Every key is optional. Text of any origin (the model, the device, the user) is
// escaped; images are accepted only as PNG or JPEG data URLs of Base64 text. The
// page loads nothing from the network, and its Content-Security-Policy lets only its
// own small navigation script run.
#pragma once

#include <droidlens/json.hpp>

#include <string>
#include <string_view>

namespace droidlens::report {

// `text` with &, <, >, " and ' written as character references; bytes that are not
// UTF-8 shown as U+FFFD.
std::string escape_html(std::string_view text);

// The whole page.
std::string render_html(const Json& document);

}  // namespace droidlens::report
