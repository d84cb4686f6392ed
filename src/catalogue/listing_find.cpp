#include "catalogue/listing_find.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "listing/list_file_name.h"
#include "runtime/path_join.h"
#include "runtime/unique_fd.h"

namespace quorvale::catalogue {

namespace {

// Entries searched between two calls of the caller's check: a few milliseconds' worth.
constexpr std::size_t kStepsBetweenChecks = 4096;
// How far below each folder given a search looks for list folders.
constexpr int kLevelsBelow = 2;

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

namespace {

// A folder below the ones given, opened by handle, never through a link; none when it is none.
runtime::UniqueFd OpenFolderAt(int parent, const char* name) {
    return runtime::UniqueFd(
        ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// The list folders found so far, and the folders they are (a folder reached through two of the
// folders given, or by two paths, is searched once).
struct ListFolders {
    std::vector<std::string> paths;
    std::set<std::pair<dev_t, ino_t>> seen;
};

// Adds the list folders in the folder open as `fd` (at `path`) and `levels` levels below it, in
// the order of their names' bytes, to `found`; returns how many it met, those found before too.
std::size_t CollectListFolders(int fd, const std::string& path, int levels, ListFolders& found) {
    // A folder a Save writes into holds the record it moved aside until it puts the new one in
    // place: the listing as it was before is searched meanwhile.
    struct stat st {};
    std::size_t met = 0;
    if (::fstatat(fd, std::string(listing::kRecordName).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ||
        ::fstatat(fd, std::string(listing::kPreviousRecordName).c_str(), &st,
                  AT_SYMLINK_NOFOLLOW) == 0) {
        ++met;
        struct stat folder {};
        if (::fstat(fd, &folder) != 0 || found.seen.emplace(folder.st_dev, folder.st_ino).second) {
            found.paths.push_back(path);
        }
    }
    if (levels == 0) return met;
    std::vector<std::string> names;
    {
        runtime::UniqueFd listFd(::dup(fd));
        DIR* folder = listFd ? ::fdopendir(listFd.Get()) : nullptr;
        if (folder == nullptr) return met;
        (void)listFd.Release();  // the stream owns it now, closed with it
        const std::unique_ptr<DIR, int (*)(DIR*)> stream(folder, &::closedir);
        while (const dirent* entry = ::readdir(folder)) {
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..") continue;
            if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) names.emplace_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const runtime::UniqueFd sub = OpenFolderAt(fd, name.c_str());
        if (!sub) continue;  // not a folder, or a link to one
        met += CollectListFolders(sub.Get(), runtime::JoinPath(path, name), levels - 1, found);
    }
    return met;
}

// Which listings are one drive's listing of one root: the newest of them answers alone.
std::string DriveAndRoot(const ListingRecord& record) {
    const runtime::FileSystemFacts& drive = record.fileSystem;
    std::string key = !drive.uuid.empty()    ? "uuid:" + drive.uuid
                      : !drive.label.empty() ? "label:" + drive.label
                                             : "host:" + record.host + '\0' + drive.source;
    key += '\0';
    key += record.root;
    return key;
}

}  // namespace

std::vector<ListingToSearch> ListingsToSearch(const std::vector<std::string>& folders, bool all,
                                              const std::function<void(std::string)>& problem,
                                              const std::function<void()>& check) {
    ListFolders listFolders;
    for (const std::string& folder : folders) {
        if (check) check();
        const runtime::UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd) {
            const int err = errno;
            problem(runtime::ErrorFromErrno(err, "Cannot search", folder).what());
            continue;
        }
        if (CollectListFolders(fd.Get(), folder, kLevelsBelow, listFolders) == 0) {
            problem("No kept listing in \"" + folder +
                    "\" or two levels below it (a list folder holds " +
                    std::string(listing::kRecordName) + ")");
        }
    }
    std::vector<ListingToSearch> listings;
    for (std::string& folder : listFolders.paths) {
        if (check) check();
        try {
            const KeptListing listing(folder, "search", true);
            listings.push_back({std::move(folder), listing.Record()});
        } catch (const runtime::RuntimeError& error) {
            problem(error.what());
        }
    }
    std::stable_sort(listings.begin(), listings.end(),
                     [](const auto& a, const auto& b) { return a.record.ended > b.record.ended; });
    if (all) return listings;
    std::map<std::string, bool> seen;
    std::erase_if(listings, [&seen](const ListingToSearch& listing) {
        return !seen.emplace(DriveAndRoot(listing.record), true).second;
    });
    return listings;
}

std::size_t EntryPath(const KeptEntry& entry, std::string& path) {
    path.assign(entry.folderPath);
    if (!path.ends_with('/')) path += '/';
    if (!entry.isFile) return path.size() == 1 ? 1 : path.size() - 1;
    path += entry.name;
    return path.size();
}

namespace {

// The search of a listing by the index its record names.
std::uint64_t SearchByIndex(KeptListing& listing, const EntryMatcher& matcher,
                            const std::function<bool(const FoundEntry&)>& found,
                            const std::function<void()>& check) {
    const ListingRecord& record = listing.Record();
    if (record.indexName.empty())
        throw IndexDamaged("it has no index (saved by an earlier version)");
    const std::optional<IndexOfListing> index = IndexOfRecord(record);
    if (!index)
        throw IndexDamaged("its index is of an earlier version (saved without its identity)");
    runtime::UniqueFd fd;
    std::uint64_t size = 0;
    try {
        fd = listing.OpenIndex(size);
    } catch (const runtime::RuntimeError& error) {
        throw IndexDamaged(error.what());
    }
    if (!fd) throw IndexDamaged("its index " + record.indexName + " is missing");
    if (size != record.indexBytes) {
        throw IndexDamaged("its index is not the one its record names");
    }
    return SearchIndex(
        fd.Get(), *index, matcher,
        [&found](std::string_view path) {
            return found({path, {}});
        },
        check);
}

}  // namespace

std::uint64_t FindInListing(const std::string& folder, const EntryMatcher& matcher,
                            const FindOptions& options,
                            const std::function<bool(const FoundEntry&)>& found,
                            const std::function<void()>& check,
                            const std::function<void(const ListingRecord&, bool)>& opened) {
    if (check) check();
    KeptListing listing(folder, "search", true);
    if (opened) opened(listing.Record(), listing.BeforeASave());
    const bool details = options.withDetails && listing.HasDetails();
    // A listing whose list files a Save is replacing is answered by its index, or not at all.
    if (!details && (options.useIndex || listing.BeforeASave())) {
        try {
            const std::uint64_t count = SearchByIndex(listing, matcher, found, check);
            if (!listing.Unchanged()) throw ListingChanged("search", folder);
            return count;
        } catch (const IndexDamaged& damaged) {
            if (!listing.BeforeASave()) throw;
            throw runtime::RuntimeError(runtime::InvalidProcedureCall,
                                        "Cannot search \"" + folder +
                                            "\": a Save of it began and has not finished, and " +
                                            damaged.what() + "; try again once it has finished");
        }
    }
    if (details) listing.ReadDetails();
    std::uint64_t count = 0;
    std::string path;
    std::size_t steps = 0;
    while (const std::optional<KeptEntry> entry = listing.Next()) {
        if (check && ++steps % kStepsBetweenChecks == 0) check();
        const std::size_t matched = EntryPath(*entry, path);
        if (!matcher.Matches(std::string_view(path).substr(0, matched))) continue;
        ++count;
        if (!found({path, details ? entry->details : std::string_view()})) break;
    }
    if (!listing.Unchanged()) throw ListingChanged("search", folder);
    return count;
}

std::uint64_t SearchListing(const std::string& folder, const EntryMatcher& matcher,
                            FindOptions options, const std::function<void()>& begin,
                            const std::function<bool(const FoundEntry&)>& found,
                            const std::function<void()>& check,
                            const std::function<void(const ListingRecord&, bool)>& opened,
                            const std::function<void(const std::string&)>& fellBack) {
    for (int replaced = 0;;) {
        if (begin) begin();
        try {
            return FindInListing(folder, matcher, options, found, check, opened);
        } catch (const IndexDamaged& damaged) {
            if (!options.useIndex) throw;
            options.useIndex = false;  // the list files instead; no second attempt of the two
            if (fellBack) fellBack(damaged.what());
        } catch (const ListingChanged&) {
            if (++replaced == 2) throw;
        }
    }
}

}  // namespace quorvale::catalogue
