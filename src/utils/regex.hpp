// Regular expressions with Unicode semantics over UTF-8 text, on PCRE2 (UTF + UCP):
// \s, \d, \w and \b follow Unicode rules, so CJK ideographs are word characters and
// U+3000 is white space.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace droidlens::regex {

// One match: the whole match and every capture group as byte ranges of the subject.
// A group that did not take part in the match is absent.
struct Match {
    std::string_view subject;
    std::vector<std::optional<std::pair<std::size_t, std::size_t>>> groups;  // [0] is the whole match

    std::size_t start() const { return groups[0]->first; }
    std::size_t end() const { return groups[0]->second; }
    // The text of group `i`, or nullopt when it did not take part.
    std::optional<std::string_view> group(std::size_t i) const;
    // The text of group `i`, or "" when it did not take part.
    std::string str(std::size_t i) const;
};

enum Flags : unsigned {
    kNone = 0,
    kIgnoreCase = 1u << 0,
};

// A compiled pattern. Compiling a malformed pattern throws ValueError naming the
// position of the fault; matching text that is not valid UTF-8 throws ValueError.
class Regex {
public:
    explicit Regex(std::string_view pattern, unsigned flags = kNone);
    ~Regex();
    Regex(Regex&&) noexcept;
    Regex& operator=(Regex&&) noexcept;

    // The first match anywhere in `subject` at or after byte `from`.
    std::optional<Match> search(std::string_view subject, std::size_t from = 0) const;
    // A match that starts at byte 0 of `subject` (it need not reach the end).
    std::optional<Match> match(std::string_view subject) const;
    // Every non-overlapping match, left to right.
    std::vector<Match> find_all(std::string_view subject) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace droidlens::regex
