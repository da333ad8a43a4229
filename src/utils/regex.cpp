#include "utils/regex.hpp"

#include <droidlens/errors.hpp>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace droidlens::regex {

namespace {

std::string pcre_error_text(int code) {
    PCRE2_UCHAR buffer[256];
    const int n = pcre2_get_error_message(code, buffer, sizeof buffer);
    if (n < 0) return "error " + std::to_string(code);
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

struct MatchData {
    pcre2_match_data* data;
    explicit MatchData(const pcre2_code* code) : data(pcre2_match_data_create_from_pattern(code, nullptr)) {
        if (!data) throw std::bad_alloc();
    }
    ~MatchData() { pcre2_match_data_free(data); }
    MatchData(const MatchData&) = delete;
    MatchData& operator=(const MatchData&) = delete;
};

}  // namespace

std::optional<std::string_view> Match::group(std::size_t i) const {
    if (i >= groups.size() || !groups[i]) return std::nullopt;
    return subject.substr(groups[i]->first, groups[i]->second - groups[i]->first);
}

std::string Match::str(std::size_t i) const {
    auto g = group(i);
    return g ? std::string(*g) : std::string();
}

struct Regex::Impl {
    pcre2_code* code = nullptr;
    ~Impl() { pcre2_code_free(code); }

    // Runs one match from byte `from`; `anchored` pins it to that byte.
    std::optional<Match> run(std::string_view subject, std::size_t from, bool anchored) const {
        if (from > subject.size()) return std::nullopt;
        MatchData md(code);
        const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), from,
                                   anchored ? PCRE2_ANCHORED : 0, md.data, nullptr);
        if (rc == PCRE2_ERROR_NOMATCH) return std::nullopt;
        if (rc < 0) throw ValueError("Regular expression match failed: " + pcre_error_text(rc));
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.data);
        const std::uint32_t pairs = pcre2_get_ovector_count(md.data);
        Match m;
        m.subject = subject;
        m.groups.resize(pairs);
        for (std::uint32_t i = 0; i < pairs; ++i) {
            if (ov[2 * i] == PCRE2_UNSET) continue;
            m.groups[i] = std::make_pair(static_cast<std::size_t>(ov[2 * i]), static_cast<std::size_t>(ov[2 * i + 1]));
        }
        return m;
    }
};

Regex::Regex(std::string_view pattern, unsigned flags) : impl_(std::make_unique<Impl>()) {
    std::uint32_t options = PCRE2_UTF | PCRE2_UCP;
    if (flags & kIgnoreCase) options |= PCRE2_CASELESS;
    int error = 0;
    PCRE2_SIZE offset = 0;
    impl_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options, &error,
                                &offset, nullptr);
    if (!impl_->code) {
        throw ValueError("Invalid regular expression at offset " + std::to_string(offset) + ": " +
                         pcre_error_text(error));
    }
}

Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

std::optional<Match> Regex::search(std::string_view subject, std::size_t from) const {
    return impl_->run(subject, from, false);
}

std::optional<Match> Regex::match(std::string_view subject) const { return impl_->run(subject, 0, true); }

std::vector<Match> Regex::find_all(std::string_view subject) const {
    std::vector<Match> out;
    std::size_t from = 0;
    while (from <= subject.size()) {
        auto m = impl_->run(subject, from, false);
        if (!m) break;
        std::size_t next = m->end();
        if (m->end() == m->start()) {
            // An empty match: step over one whole code point so the scan moves on.
            if (next >= subject.size()) {
                out.push_back(std::move(*m));
                break;
            }
            ++next;
            while (next < subject.size() && (static_cast<unsigned char>(subject[next]) & 0xC0) == 0x80) ++next;
        }
        out.push_back(std::move(*m));
        from = next;
    }
    return out;
}

}  // namespace droidlens::regex
