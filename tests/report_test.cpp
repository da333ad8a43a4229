// Run report pages: everything from the model, the device or the user is escaped,
// only image data URLs are shown, and only the page's own script may run.
#include "report/html.hpp"
#include "test_support.hpp"

using namespace droidlens;

TEST(ReportHtml, HostileTextIsEscapedEverywhereAndOnlyDataImagesAreShown) {
    const std::string hostile = "<script>alert('x')</script>\"&<img src=x onerror=alert(1)>";
    Json doc = {{"title", hostile},
                {"subtitle", hostile},
                {"header", {{hostile, hostile}}},
                {"sections",
                 {{{"id", "step-1\" onmouseover=\"x"},
                   {"title", hostile},
                   {"status", "warn\" x=\"y"},
                   {"images",
                    {{{"src", "data:image/png;base64,iVBORw0KGgo="}, {"caption", hostile}},
                     {{"src", "javascript:alert(1)"}, {"caption", "refused"}},
                     {{"src", "data:image/png;base64,AAAA\" onload=\"alert(1)"}, {"caption", "refused too"}},
                     {{"src", "https://example.com/a.png"}}}},
                   {"fields", {{"Action", hostile}}},
                   {"texts", {{{"label", "Reasoning"}, {"text", hostile + "\xff\xfe"}}}},
                   {"notes", {{{"kind", "feedback"}, {"text", hostile}}, {{"kind", "<b>"}, {"text", "x"}}}}}}},
                {"record", {{"label", hostile}}}};
    const std::string page = report::render_html(doc);
    // The only script element is the page's own, and no attribute can be injected.
    size_t scripts = 0;
    for (size_t at = page.find("<script"); at != std::string::npos; at = page.find("<script", at + 1)) ++scripts;
    EXPECT_EQ(scripts, 1u);
    EXPECT_EQ(page.find("<img src=x"), std::string::npos);
    EXPECT_EQ(page.find("onmouseover=\""), std::string::npos);
    EXPECT_EQ(page.find("onload=\""), std::string::npos);
    EXPECT_EQ(page.find("javascript:"), std::string::npos);
    EXPECT_EQ(page.find("https://example.com"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&quot;&amp;"), std::string::npos);
    EXPECT_NE(page.find("<img src=\"data:image/png;base64,iVBORw0KGgo=\""), std::string::npos);
    EXPECT_NE(page.find("\xEF\xBF\xBD"), std::string::npos);  // bytes that are not UTF-8
    EXPECT_NE(page.find("class=\"note feedback\""), std::string::npos);
    EXPECT_NE(page.find("class=\"note warning\""), std::string::npos);  // unknown kinds fall back
    // Nothing may be loaded: no network in the policy, the script allowed by its hash.
    EXPECT_NE(page.find("default-src 'none'; img-src data:;"), std::string::npos);
    EXPECT_NE(page.find("script-src 'sha256-"), std::string::npos);
}

TEST(ReportHtml, AnEmptyDocumentStillMakesAPage) {
    const std::string page = report::render_html(Json::object());
    EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(page.find("<title>droidlens report</title>"), std::string::npos);
    EXPECT_EQ(report::escape_html(std::string("a\0b", 3)), "a\xEF\xBF\xBD" "b");
}
