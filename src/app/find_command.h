// `quorvale --find PATTERN [FOLDER...]`: where an entry is in the kept listings, as `locate`
// tells where a file is: one line per match, the list folder, the time its Save ended and the
// entry's full path, separated by tabs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/listing_find.h"

namespace quorvale::app {

inline constexpr int kFound = 0;
inline constexpr int kNothingFound = 1;
inline constexpr int kFindFailed = 2;

struct FindRequest {
    catalogue::FindQuery query;
    std::vector<std::string> folders;  // where to look for list folders (none: the default one)
    bool all = false;                  // every listing, not only the newest of each drive and root
    bool nulls = false;                // end each line with NUL, not a newline
    bool count = false;                // print the number of matches only
    bool details = false;              // type, size and time before the path (--long)
    bool where = false;                // the list folder and when it was saved (--where, --long)
    bool humanReadable = false;        // sizes as people read them ("1.5M"; -h with --long)
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
