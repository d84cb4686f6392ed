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

#include "catalogue/index_file.h"
#include "catalogue/index_search.h"
#include "listing/list_file_name.h"
#include "runtime/path_join.h"
#include "runtime/unique_fd.h"

namespace quorvale::catalogue {

namespace {

// Entries searched between two calls of the caller's check: a few milliseconds' worth.
constexpr std::size_t kStepsBetweenChecks = 4096;
// How far below each folder given a search looks for list folders.
constexpr int kLevelsBelow = 2;

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

}  // namespace

std::string DriveAndRoot(const ListingRecord& record) {
    const runtime::FileSystemFacts& drive = record.fileSystem;
    std::string key = !drive.uuid.empty()    ? "uuid:" + drive.uuid
                      : !drive.label.empty() ? "label:" + drive.label
                                             : "host:" + record.host + '\0' + drive.source;
    key += '\0';
    key += record.root;
    return key;
}

std::vector<ListingToSearch> ListingsToSearch(const std::vector<std::string>& folders, bool all,
                                              const std::function<void(std::string)>& problem,
                                              const std::function<void()>& check, bool quiet,
                                              std::size_t* unreadable) {
    ListFolders listFolders;
    for (const std::string& folder : folders) {
        if (check) check();
        const runtime::UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd) {
            const int err = errno;
            if (quiet && err == ENOENT) continue;
            if (unreadable != nullptr) ++*unreadable;
            problem(runtime::ErrorFromErrno(err, "Cannot search", folder).what());
            continue;
        }
        if (CollectListFolders(fd.Get(), folder, kLevelsBelow, listFolders) == 0 && !quiet) {
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
    std::optional<IndexFile> index;
    try {
        index.emplace(OpenIndexOf(listing));
    } catch (const IndexDamaged&) {
        throw;
    } catch (const runtime::RuntimeError& error) {
        throw IndexDamaged(error.what());  // the list files may still answer
    }
    return SearchIndex(
        *index, matcher,
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
