// `quorvale --sizes LISTING [PATH]`: the totals of a listing's folders as `du` prints them
// ("SIZE<TAB>PATH", each folder after those below it, PATH itself last), read from the sizes its
// Save kept (see catalogue::ListingTree), so that a drive in a drawer is measured as one plugged
// in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorvale::app {

inline constexpr int kSizesShown = 0;
inline constexpr int kSizesFailed = 2;

struct SizesRequest {
    enum class Sort { kListing, kSize, kName };
    std::string listing;                    // the list folder
    std::string path;                       // a folder of the listing as listed (empty: its root)
    std::optional<std::uint64_t> maxDepth;  // -d N (none: every depth)
    bool humanReadable = false;             // -h: 1.5K, 12M, as du -h
    bool apparentSize = false;              // --apparent-size: sizes, not blocks (in KiB)
    bool bytes = false;                     // -b: apparent sizes in bytes
    bool nulls = false;                     // -0: each line ends with NUL
    Sort sort = Sort::kListing;             // --sort=size (largest first) or --sort=name
};

// The size a folder's line prints, in the unit `request` asks for.
std::string SizeField(const SizesRequest& request, std::uint64_t bytes, std::uint64_t blocks);

// Prints the lines on stdout and returns 0; a listing without sizes, or a PATH it does not hold,
// is said on stderr with 2. SIGINT, SIGTERM and SIGHUP stop it (128 + the signal), a reader of
// stdout gone ends it with 141.
int RunSizes(const SizesRequest& request);

}  // namespace quorvale::app
