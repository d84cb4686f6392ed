// `quorvale --compare OLD NEW`: what changed between two listings, as diff-like tools report it.
#pragma once

#include <string>

namespace quorvale::app {

inline constexpr int kListingsEqual = 0;
inline constexpr int kListingsDiffer = 1;
inline constexpr int kCompareFailed = 2;

// Prints one line per difference on stdout (see catalogue::CompareListings), once both listings
// were read whole: when a Save replaced one while it was read, it is compared again, once, and
// then the comparison fails rather than print a mix of two listings. Failures on stderr.
int RunCompare(const std::string& oldFolder, const std::string& newFolder);

}  // namespace quorvale::app
