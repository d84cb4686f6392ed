#include "catalogue/entry_matcher.h"

#include <utility>

#include "runtime/path_join.h"

namespace quorvale::catalogue {

namespace {

char Folded(char c, bool fold) {
    return fold && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether byte `c` is in the set of a bracket expression whose text (past "[" and a "!" or "^")
// begins at `at` in `pattern`; `end` is set past its "]". False with end = npos when the bracket
// never closes (the "[" is then a plain byte).
bool InSet(std::string_view pattern, std::size_t at, char c, bool fold, std::size_t& end) {
    bool in = false;
    bool first = true;
    for (std::size_t i = at; i < pattern.size(); first = false) {
        char low = pattern[i];
        if (low == ']' && !first) {
            end = i + 1;
            return in;
        }
        if (low == '\\' && i + 1 < pattern.size()) low = pattern[++i];
        char high = low;
        ++i;
        if (i + 1 < pattern.size() && pattern[i] == '-' && pattern[i + 1] != ']') {
            high =
                pattern[i + 1] == '\\' && i + 2 < pattern.size() ? pattern[i + 2] : pattern[i + 1];
            i += pattern[i + 1] == '\\' && i + 2 < pattern.size() ? 3 : 2;
        }
        const auto byte = [](char x) { return static_cast<unsigned char>(x); };
        const char folded = Folded(c, fold);
        in = in || (byte(low) <= byte(c) && byte(c) <= byte(high)) ||
             (fold && byte(Folded(low, true)) <= byte(folded) &&
              byte(folded) <= byte(Folded(high, true)));
    }
    end = std::string_view::npos;
    return false;
}

// Whether the pattern's element at `p` matches the byte `c`; `next` is set past the element.
bool MatchesOne(std::string_view pattern, std::size_t p, char c, bool fold, std::size_t& next) {
    const char e = pattern[p];
    if (e == '?') {
        next = p + 1;
        return true;
    }
    if (e == '[') {
        const bool negated =
            p + 1 < pattern.size() && (pattern[p + 1] == '!' || pattern[p + 1] == '^');
        std::size_t end = 0;
        const bool in = InSet(pattern, p + 1 + (negated ? 1 : 0), c, fold, end);
        if (end != std::string_view::npos) {
            next = end;
            return in != negated;
        }
    }
    const char plain = e == '\\' && p + 1 < pattern.size() ? pattern[p + 1] : e;
    next = p + (e == '\\' && p + 1 < pattern.size() ? 2 : 1);
    return Folded(plain, fold) == Folded(c, fold);
}

// A shell pattern against the whole of `text`, by bytes. A '*' that fails is retried one byte
// further on, from the last '*' only: time is at most the product of the two lengths.
bool PatternMatches(std::string_view pattern, std::string_view text, bool fold) {
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t starP = std::string_view::npos;
    std::size_t starT = 0;
    while (t < text.size()) {
        std::size_t next = 0;
        if (p < pattern.size() && pattern[p] == '*') {
            starP = ++p;
            starT = t;
        } else if (p < pattern.size() && MatchesOne(pattern, p, text[t], fold, next)) {
            p = next;
            ++t;
        } else if (starP != std::string_view::npos) {
            p = starP;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::string FoldedText(std::string_view text) {
    std::string folded(text);
    for (char& c : folded) c = Folded(c, true);
    return folded;
}

}  // namespace

EntryMatcher::EntryMatcher(FindQuery query)
    : query_(std::move(query)),
      isPattern_(query_.pattern.find_first_of("*?[") != std::string::npos),
      folded_(query_.ignoreCase && !isPattern_ ? FoldedText(query_.pattern) : query_.pattern) {
    if (!isPattern_ || query_.pattern.find_first_of("?[") != std::string::npos) return;
    starsOnly_ = true;
    const std::string& pattern = query_.pattern;
    bool afterStar = false;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '*') {
            starFirst_ = starFirst_ || starParts_.empty();
            afterStar = true;
            continue;
        }
        if (afterStar || starParts_.empty()) starParts_.emplace_back();
        afterStar = false;
        const bool escaped = pattern[i] == '\\' && i + 1 < pattern.size();
        starParts_.back() += Folded(escaped ? pattern[++i] : pattern[i], query_.ignoreCase);
    }
    starLast_ = afterStar;
    // Every star escaped: the pattern is one plain part, matched whole by PatternMatches.
    starsOnly_ = starFirst_ || starLast_ || starParts_.size() > 1;
}

bool EntryMatcher::MatchesStarParts(std::string_view text) const {
    if (query_.ignoreCase) {
        scratch_.assign(text);
        for (char& c : scratch_) c = Folded(c, true);
        text = scratch_;
    }
    std::size_t at = 0;
    std::size_t end = text.size();
    std::size_t first = 0;
    std::size_t last = starParts_.size();
    if (!starFirst_ && first < last) {
        if (!text.starts_with(starParts_[first])) return false;
        at = starParts_[first++].size();
    }
    if (!starLast_ && first < last) {
        const std::string& part = starParts_[--last];
        if (end - at < part.size() || !text.ends_with(part)) return false;
        end -= part.size();
    }
    for (; first < last; ++first) {
        const std::size_t found = text.substr(0, end).find(starParts_[first], at);
        if (found == std::string_view::npos) return false;
        at = found + starParts_[first].size();
    }
    return true;
}

bool EntryMatcher::Matches(std::string_view path) const {
    std::string_view text = path;
    if (query_.basename) text = runtime::LastPathPart(text);
    if (starsOnly_) return MatchesStarParts(text);
    if (isPattern_) return PatternMatches(folded_, text, query_.ignoreCase);
    if (!query_.ignoreCase) return text.find(folded_) != std::string_view::npos;
    scratch_.assign(text);
    for (char& c : scratch_) c = Folded(c, true);
    return scratch_.find(folded_) != std::string::npos;
}

}  // namespace quorvale::catalogue
