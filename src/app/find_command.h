// `quorvale --find PATTERN [FOLDER...]`: where an entry is in the kept listings, as `locate`
// tells where a file is: one line per match, the list folder, the time its Save ended and the
// entry's full path, separated by tabs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/listing_find.h"

namespace quorvale::app {

inline constexpr int kFound = 0;
inline constexpr int kNothingFound = 1;
inline constexpr int kFindFailed = 2;

// What an entry's details must say to be printed: --size, --newer, --older, --type. Read from
// the details files of listings saved with --details; a listing without them answers nothing.
struct DetailsFilter {
    enum class Compare { kNone, kMore, kLess, kAbout };
    Compare size = Compare::kNone;
    std::uint64_t sizeCount = 0;  // in units of sizeUnit
    std::uint64_t sizeUnit = 1;
    std::string newer;  // a time as the details write it (UTC): modified after it
    std::string older;  // modified before it
    char type = 0;      // 'f', 'd' or 'l'; 0: any
    bool Any() const {
        return size != Compare::kNone || !newer.empty() || !older.empty() || type != 0;
    }
    // Whether an entry with these details passes; none: no details.
    bool Passes(std::string_view details) const;
};

// The filter's value from the command line's text, or why it is wrong. "+100M", "-1k", "20":
// more, less, or about (rounded up to the unit) so many bytes, kibibytes, ..., tebibytes.
std::optional<std::string> ReadSizeFilter(std::string_view text, DetailsFilter& filter);
// "2026-12-09", "2026-12-09 14:30", "2026-12-09T14:30:05" in local time, or with a final "Z" in
// UTC: the time as the details write it.
std::optional<std::string> ReadTimeFilter(std::string_view text, std::string& time);

struct FindRequest {
    catalogue::FindQuery query;
    std::vector<std::string> folders;  // where to look for list folders (none: the default one)
    bool all = false;                  // every listing, not only the newest of each drive and root
    bool nulls = false;                // end each line with NUL, not a newline
    bool count = false;                // print the number of matches only
    bool details = false;              // type, size and time before the path (--long)
    bool where = false;                // the list folder and when it was saved (--where, --long)
    bool humanReadable = false;        // sizes as people read them ("1.5M"; -h with --long)
    DetailsFilter filter;
    std::optional<std::uint64_t> limit;
    // The folders are the places searched by default: one that is missing or holds no listing is
    // passed over without a word.
    bool defaultPlaces = false;
};

// Searches the listings in `request.folders`. A folder or a listing that cannot be read is named on
// stderr and the search goes on. Returns kFindFailed when a folder given could not be read or no
// listing could, else kFound when anything matched, kNothingFound when nothing did; 128 + the
// signal when one stopped it, 141 when the reader of its output went away.
int RunFind(const FindRequest& request);

}  // namespace quorvale::app
