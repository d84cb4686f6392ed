// `quorvale --duplicates [FOLDER]...`: the files (and folders) held more than once across the kept
// listings, told from their hashes with no drive plugged in; and `quorvale --only-in LISTING
// [FOLDER]...` (`--also-in`): the files of one listing whose content no other listing holds (or
// does), what is not backed up anywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvale::app {

inline constexpr int kDuplicatesFound = 0;
inline constexpr int kNoDuplicates = 1;
inline constexpr int kDuplicatesFailed = 2;

struct DuplicatesRequest {
    enum class Question { kDuplicates, kOnlyIn, kAlsoIn };
    Question question = Question::kDuplicates;
    std::string listing;               // kOnlyIn, kAlsoIn: the listing asked about
    std::vector<std::string> folders;  // where to look for list folders (none: the default places)
    bool all = false;                  // every listing, not only the newest of each drive and root
    bool nulls = false;                // end each line with NUL, not a newline
    bool count = false;                // print the number of groups (or files) only
    bool humanReadable = false;        // sizes as people read them ("1.5M")
    std::uint64_t minSize = 1;         // files smaller are passed over
    bool defaultPlaces = false;        // folders missing or without listings pass without a word
};

// "10M", "1G", "100k", "4096": bytes, kibibytes, ..., tebibytes, as du and find take them; or why
// it is not a size.
std::optional<std::string> ReadMinSize(std::string_view text, std::uint64_t& bytes);

// Answers the request on stdout once every listing was read whole, with a summary on stderr.
// Listings without hashes, or with hashes of another algorithm, are named on stderr and left out.
// Returns kDuplicatesFound when there is something to tell (groups of copies; files only in, or
// also in, other listings), kNoDuplicates when there is nothing, kDuplicatesFailed when a folder
// given or a listing could not be read, or no listing has hashes; 128 + the signal when one
// stopped it, 141 when the reader of its output went away.
int RunDuplicates(const DuplicatesRequest& request);

}  // namespace quorvale::app
