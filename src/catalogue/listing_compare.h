// Comparing two listings, each a list folder with the record of its Save: entries are matched by
// their path under each listing's root, so a copy listed elsewhere compares with its original.
// Both listings are read as streams, a line at a time, in the order the walk wrote them.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "catalogue/kept_listing.h"

namespace quorvale::catalogue {

// Tells `difference` each entry only the old listing holds ("-\t" + its path there) and each only
// the new one holds ("+\t" + its path there), folders' paths ending in "/", in listing order;
// where both listings have details, each entry in both whose type, size or time differs ("~", a
// letter for each of them that differs, "t", "s" and "m" in that order, and "c" where both
// listings hashed the file with one algorithm and the hashes differ, then "\t" + its path in the
// new one). Tells `warning` first, when given, if the listings were made with other options
// (which): what one leaves out and the other holds shows as removed or added.
// Returns whether there was any. Throws runtime::RuntimeError when a folder holds no record of a
// listing, or its list files are missing, are not regular files, hold a line longer than a Save
// writes or are not the ones its record describes. `check`, when given, is called every few
// thousand entries; what it throws passes through (to stop a comparison on a signal). Reads no
// lock, so it never holds up a Save: when a Save replaced any file it read, it throws
// ListingChanged once it has told every difference.
bool CompareListings(const std::string& oldFolder, const std::string& newFolder,
                     const std::function<void(std::string_view)>& difference,
                     const std::function<void()>& check = {},
                     const std::function<void(std::string_view)>& warning = {});

}  // namespace quorvale::catalogue
