// What a search matches, as `locate` matches: a substring of an entry's full path, or a shell
// pattern on it, or on the name alone, bytes throughout.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvale::catalogue {

struct FindQuery {
    std::string pattern;      // without '*', '?' or '[': a substring; with them: a shell pattern
    bool basename = false;    // match the entry's name, not its full path
    bool ignoreCase = false;  // the letters A-Z and a-z fold; every other byte is itself
};

// Whether an entry matches a query. Bytes throughout, whatever the locale: a shell pattern's '*'
// matches any bytes ('/' too), '?' one byte, "[...]" one byte of a set ("[!...]" or "[^...]" one
// byte not in it, "a-z" a range), and a backslash makes the byte after it plain.
class EntryMatcher {
  public:
    explicit EntryMatcher(FindQuery query);
    // `path`: the entry's full path as the listing wrote it, without the "/" a folder's path ends
    // with in the output; its name is the part after the last "/".
    bool Matches(std::string_view path) const;
    const FindQuery& Query() const { return query_; }
    bool IsShellPattern() const { return isPattern_; }

  private:
    bool MatchesStarParts(std::string_view text) const;

    FindQuery query_;
    bool isPattern_ = false;
    std::string folded_;  // the pattern, its letters folded when the query ignores case
    // A shell pattern whose only wildcard is '*' (most are: "*.jpg", "IMG_*", "*2024*"): its
    // plain parts between the stars (letters folded when the query ignores case), each found
    // after the one before, the first at the start unless a star comes before it, the last at the
    // end unless one comes after it.
    bool starsOnly_ = false;
    std::vector<std::string> starParts_;
    bool starFirst_ = false;
    bool starLast_ = false;
    mutable std::string scratch_;
};

}  // namespace quorvale::catalogue
