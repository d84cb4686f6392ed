#include "catalogue/duplicate_groups.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "catalogue/hash_file.h"
#include "catalogue/kept_listing.h"
#include "catalogue/listing_hashes.h"
#include "runtime/runtime_error.h"
#include "runtime/thread_start.h"

namespace quorvale::catalogue {

namespace {

constexpr std::uint64_t kCheckEvery = 4096;
constexpr std::uint32_t kNone = UINT32_MAX;
constexpr std::string_view kAction = "find the copies in";

// Every listing's hashes by size, read side by side: each content (size and hash) held by more
// than one row, with the rows that hold it.
class MergedBySize {
  public:
    struct Holder {
        std::uint32_t listing;
        std::uint64_t entry;
    };

    MergedBySize(const std::vector<ListingToSearch>& listings, reading::HashAlgorithm algorithm) {
        for (const ListingToSearch& each : listings) {
            auto& opened = open_.emplace_back();
            opened.listing = std::make_unique<KeptListing>(each.folder, kAction);
            opened.hashes = OpenHashesBySize(*opened.listing, kAction);
            if (opened.hashes->Algorithm() != algorithm) {
                throw ListingChanged(kAction, each.folder);
            }
            opened.row = opened.hashes->Next();
        }
    }

    // Tells `content` each size and hash more than one row holds, ascending, with its rows.
    void ForEachShared(const std::function<void(std::uint64_t size, std::string_view hash,
                                                const std::vector<Holder>& holders)>& content,
                       const std::function<void()>& check) {
        // The listings by their next row, least first.
        const auto later = [this](std::size_t a, std::size_t b) {
            return Before(*open_[b].row, *open_[a].row);
        };
        std::vector<std::size_t> heap;
        for (std::size_t i = 0; i < open_.size(); ++i) {
            if (open_[i].row) heap.push_back(i);
        }
        std::make_heap(heap.begin(), heap.end(), later);
        std::vector<Holder> holders;
        HashesBySize::Row least;
        std::string hash;
        std::uint64_t steps = 0;
        while (!heap.empty()) {
            least = *open_[heap.front()].row;
            hash.assign(least.hash);
            least.hash = hash;
            holders.clear();
            while (!heap.empty() && !Before(least, *open_[heap.front()].row)) {
                std::pop_heap(heap.begin(), heap.end(), later);
                const std::size_t i = heap.back();
                Opened& opened = open_[i];
                do {
                    holders.push_back({static_cast<std::uint32_t>(i), opened.row->entry});
                    opened.row = opened.hashes->Next();
                    if (check && ++steps % kCheckEvery == 0) check();
                } while (opened.row && !Before(least, *opened.row));
                if (opened.row) {
                    std::push_heap(heap.begin(), heap.end(), later);
                } else {
                    heap.pop_back();
                }
            }
            if (holders.size() > 1) content(least.size, hash, holders);
        }
        for (const Opened& opened : open_) {
            if (!opened.listing->Unchanged()) {
                throw ListingChanged(kAction, opened.listing->FolderPath());
            }
        }
    }

  private:
    struct Opened {
        std::unique_ptr<KeptListing> listing;
        std::unique_ptr<HashesBySize> hashes;
        std::optional<HashesBySize::Row> row;
    };

    // Whether row `a` comes before row `b`: by size, then hash.
    static bool Before(const HashesBySize::Row& a, const HashesBySize::Row& b) {
        if (a.size != b.size) return a.size < b.size;
        if (a.high != b.high) return a.high < b.high;
        if (a.low != b.low) return a.low < b.low;
        return a.hash.size() > 16 && a.hash.substr(16) < b.hash.substr(16);
    }

    std::vector<Opened> open_;
};

// A content more than one file holds.
struct Content {
    std::uint64_t size;
    std::string hash;
};

// A file whose content another file holds.
struct Member {
    std::uint32_t content;
    std::uint32_t listing;
    std::uint32_t folder;  // its folder's slot
    std::uint64_t line;
    std::uint64_t device;
    std::uint64_t inode;
    std::uint64_t pathAt;  // in the paths
    std::uint32_t pathBytes;
};

// A folder of a listing, and what it holds when every file below it has a copy somewhere.
struct FolderSlot {
    std::uint32_t listing = 0;
    std::uint32_t parent = kNone;
    std::uint32_t depth = 0;
    bool whole = false;  // every file below it has a copy: `digest` tells its content
    std::array<char, 16> digest{};
    std::uint64_t size = 0;
    std::uint64_t files = 0;
    std::uint64_t pathAt = 0;
    std::uint32_t pathBytes = 0;
};

// A folder being read: what it holds is added up until the walk leaves it.
struct OpenFolder {
    std::uint32_t slot;
    std::string relative;
    std::string name;
    std::unique_ptr<reading::ContentHash> digest;
    bool spoiled = false;  // a file below it has no copy, or no hash
};

// What one listing adds to a grouping: its files with a copy somewhere, and its folders, each
// numbered within it.
struct ListingPart {
    std::vector<Member> members;
    std::vector<FolderSlot> folders;
    std::string paths;
};

// The entries of a listing with a copy somewhere, and the content each holds.
struct Wanted {
    std::uint64_t entry;
    std::uint32_t content;
};

// A listing and its hashes by entry, opened and checked (its hashes read whole once for that).
struct OpenedListing {
    std::unique_ptr<KeptListing> listing;
    std::unique_ptr<KeptHashes> hashes;
};

// Reads one listing whole, beside its hashes by entry: the files with a copy somewhere become
// members, and what each folder holds is added up.
class PartReader {
  public:
    PartReader(OpenedListing& opened, std::uint32_t index, std::vector<Wanted>& wanted,
               const std::vector<Content>& contents, const std::function<void()>& check)
        : opened_(opened), index_(index), wanted_(wanted), contents_(contents), check_(check) {}

    // Reads listing `index` whole: the files with a copy somewhere become members, and what
    // each folder holds is added up.
    ListingPart Read() {
        std::vector<Wanted>& wanted = wanted_;
        std::sort(wanted.begin(), wanted.end(),
                  [](const Wanted& a, const Wanted& b) { return a.entry < b.entry; });
        KeptListing& listing = *opened_.listing;
        KeptHashes::InOrder rows(*opened_.hashes);
        std::vector<OpenFolder> open;
        std::size_t next = 0;
        std::string path;
        std::uint64_t steps = 0;
        while (std::optional<KeptEntry> entry = listing.Next()) {
            if (check_ && ++steps % kCheckEvery == 0) check_();
            if (!entry->isFile) {
                EntryPath(*entry, path);
                EnterFolder(*entry, path, open);
                continue;
            }
            while (next < wanted.size() && wanted[next].entry < entry->line) ++next;
            const HashRow* row = next < wanted.size() && wanted[next].entry == entry->line
                                     ? rows.Of(entry->line)
                                     : nullptr;
            if (open.empty()) continue;  // a file above every folder: no listing has one
            OpenFolder& folder = open.back();
            if (row == nullptr) {
                folder.spoiled = true;
                continue;
            }
            const Content& content = contents_[wanted[next].content];
            EntryPath(*entry, path);  // only for the files with a copy: most have none
            const auto [at, bytes] = Keep(path);
            part_.members.push_back({wanted[next].content, index_, folder.slot, entry->line,
                                     row->device, row->inode, at, bytes});
            folder.digest->Update("f");
            folder.digest->Update(entry->name);
            folder.digest->Update(std::string_view("\0", 1));
            folder.digest->Update(content.hash);
            FolderSlot& slot = part_.folders[folder.slot];
            slot.size += content.size;
            slot.files += 1;
        }
        while (!open.empty()) LeaveFolder(open);
        if (!listing.Unchanged()) throw ListingChanged(kAction, listing.FolderPath());
        return std::move(part_);
    }

  private:
    std::pair<std::uint64_t, std::uint32_t> Keep(std::string_view path) {
        const std::uint64_t at = part_.paths.size();
        part_.paths += path;
        return {at, static_cast<std::uint32_t>(path.size())};
    }

    void EnterFolder(const KeptEntry& entry, std::string_view path, std::vector<OpenFolder>& open) {
        const std::string_view relative = entry.relative;
        while (!open.empty() &&
               !(open.back().relative.empty() || (relative.starts_with(open.back().relative) &&
                                                  relative.size() > open.back().relative.size() &&
                                                  relative[open.back().relative.size()] == '/'))) {
            LeaveFolder(open);
        }
        FolderSlot slot;
        slot.listing = index_;
        slot.parent = open.empty() ? kNone : open.back().slot;
        slot.depth = open.empty() ? 0 : part_.folders[open.back().slot].depth + 1;
        std::tie(slot.pathAt, slot.pathBytes) = Keep(path);
        part_.folders.push_back(slot);
        const std::size_t cut = relative.rfind('/');
        open.push_back(
            {static_cast<std::uint32_t>(part_.folders.size() - 1), std::string(relative),
             std::string(cut == std::string_view::npos ? relative : relative.substr(cut + 1)),
             std::make_unique<reading::ContentHash>(reading::HashAlgorithm::kXxh3)});
    }

    void LeaveFolder(std::vector<OpenFolder>& open) {
        OpenFolder left = std::move(open.back());
        open.pop_back();
        FolderSlot& slot = part_.folders[left.slot];
        if (!left.spoiled) {
            const std::string digest = left.digest->Final();
            std::memcpy(slot.digest.data(), digest.data(), slot.digest.size());
            slot.whole = true;
        }
        if (open.empty()) return;
        OpenFolder& parent = open.back();
        if (left.spoiled) {
            parent.spoiled = true;
            return;
        }
        parent.digest->Update("d");
        parent.digest->Update(left.name);
        parent.digest->Update(std::string_view("\0", 1));
        parent.digest->Update(std::string_view(slot.digest.data(), slot.digest.size()));
        FolderSlot& above = part_.folders[parent.slot];
        above.size += slot.size;
        above.files += slot.files;
    }

    OpenedListing& opened_;
    std::uint32_t index_;
    std::vector<Wanted>& wanted_;
    const std::vector<Content>& contents_;
    const std::function<void()>& check_;
    ListingPart part_;
};

class Grouping {
  public:
    Grouping(const std::vector<ListingToSearch>& listings, const DuplicateSearch& search,
             const std::function<void()>& check)
        : listings_(listings), search_(search), check_(check), wanted_(listings.size()) {}

    std::vector<DuplicateGroup> Run() {
        // Each listing's hashes by entry are checked (read whole) on a thread of their own while
        // the hashes by size are merged.
        std::atomic<bool> stop{false};
        std::exception_ptr openFailure;
        const auto open = [&] {
            try {
                for (std::size_t i = 0; i < listings_.size() && !stop; ++i) {
                    if (check_) check_();
                    opened_[i].listing =
                        std::make_unique<KeptListing>(listings_[i].folder, kAction);
                    opened_[i].hashes = OpenHashes(*opened_[i].listing, kAction);
                }
            } catch (...) {
                openFailure = std::current_exception();
            }
        };
        opened_.resize(listings_.size());
        {
            const Beside opening(listings_.size() > 1 ? runtime::StartThread(open) : std::nullopt,
                                 stop);
            Merge();
            if (!opening.Running()) open();
        }
        if (openFailure) std::rethrow_exception(openFailure);
        ReadListings();
        std::vector<DuplicateGroup> groups;
        if (search_.folders) GroupFolders(groups);
        GroupFiles(groups);
        std::stable_sort(groups.begin(), groups.end(),
                         [](const DuplicateGroup& a, const DuplicateGroup& b) {
                             if (a.Waste() != b.Waste()) return a.Waste() > b.Waste();
                             return a.size > b.size;
                         });
        return groups;
    }

  private:
    // A thread beside this one, told to stop and joined when it goes out of scope.
    class Beside {
      public:
        Beside(std::optional<std::thread> thread, std::atomic<bool>& stop)
            : thread_(std::move(thread)), stop_(stop) {}
        ~Beside() {
            if (!thread_) return;
            if (std::uncaught_exceptions() > 0) stop_ = true;
            thread_->join();
        }
        Beside(const Beside&) = delete;
        Beside& operator=(const Beside&) = delete;
        bool Running() const { return thread_.has_value(); }

      private:
        std::optional<std::thread> thread_;
        std::atomic<bool>& stop_;
    };

    // The contents more than one file holds, and which entries of each listing hold them.
    void Merge() {
        MergedBySize merged(listings_, search_.algorithm);
        merged.ForEachShared(
            [this](std::uint64_t size, std::string_view hash,
                   const std::vector<MergedBySize::Holder>& holders) {
                const auto content = static_cast<std::uint32_t>(contents_.size());
                contents_.push_back({size, std::string(hash)});
                for (const auto& holder : holders) {
                    wanted_[holder.listing].push_back({holder.entry, content});
                }
            },
            check_);
    }

    // Reads the listings, two at a time where a second thread can be started.
    void ReadListings() {
        std::vector<ListingPart> parts(listings_.size());
        std::atomic<std::size_t> next{0};
        std::mutex failing;
        std::exception_ptr failure;
        const auto read = [&] {
            for (std::size_t i = next++; i < parts.size(); i = next++) {
                try {
                    parts[i] = PartReader(opened_[i], static_cast<std::uint32_t>(i), wanted_[i],
                                          contents_, check_)
                                   .Read();
                } catch (...) {
                    const std::lock_guard<std::mutex> lock(failing);
                    if (!failure) failure = std::current_exception();
                    next = parts.size();
                }
            }
        };
        std::optional<std::thread> helper =
            listings_.size() > 1 ? runtime::StartThread(read) : std::nullopt;
        read();
        if (helper) helper->join();
        if (failure) std::rethrow_exception(failure);
        for (ListingPart& part : parts) Append(std::move(part));
    }

    // Takes a listing's part in, its numbers made the grouping's.
    void Append(ListingPart&& part) {
        const auto folderBase = static_cast<std::uint32_t>(folders_.size());
        const std::uint64_t pathBase = paths_.size();
        for (FolderSlot& slot : part.folders) {
            if (slot.parent != kNone) slot.parent += folderBase;
            slot.pathAt += pathBase;
            folders_.push_back(slot);
        }
        for (Member& member : part.members) {
            member.folder += folderBase;
            member.pathAt += pathBase;
            members_.push_back(member);
        }
        paths_ += part.paths;
    }

    std::string Path(std::uint64_t at, std::uint32_t bytes) const {
        return paths_.substr(static_cast<std::size_t>(at), bytes);
    }

    // Whether the folder in `slot`, or one above it, is a copy to leave out.
    bool Beneath(std::uint32_t slot) const {
        for (; slot != kNone; slot = folders_[slot].parent) {
            if (leftOut_[slot]) return true;
        }
        return false;
    }

    // The folders whose content another holds, as runs of one content, the largest first (a
    // folder before the ones in it).
    std::vector<std::vector<std::uint32_t>> FolderRuns() const {
        std::vector<std::uint32_t> whole;
        for (std::uint32_t i = 0; i < folders_.size(); ++i) {
            const FolderSlot& slot = folders_[i];
            if (slot.whole && slot.size >= search_.minSize) whole.push_back(i);
        }
        std::sort(whole.begin(), whole.end(), [this](std::uint32_t a, std::uint32_t b) {
            const int order = std::memcmp(folders_[a].digest.data(), folders_[b].digest.data(),
                                          folders_[a].digest.size());
            return order != 0 ? order < 0 : a < b;
        });
        std::vector<std::vector<std::uint32_t>> runs;
        for (std::size_t i = 0; i < whole.size();) {
            std::size_t end = i + 1;
            while (end < whole.size() && folders_[whole[end]].digest == folders_[whole[i]].digest) {
                ++end;
            }
            if (end - i > 1) runs.emplace_back(whole.begin() + i, whole.begin() + end);
            i = end;
        }
        const auto depth = [this](const std::vector<std::uint32_t>& run) {
            std::uint32_t least = UINT32_MAX;
            for (const std::uint32_t slot : run) least = std::min(least, folders_[slot].depth);
            return least;
        };
        std::stable_sort(runs.begin(), runs.end(), [&](const auto& a, const auto& b) {
            const std::uint64_t x = folders_[a.front()].size;
            const std::uint64_t y = folders_[b.front()].size;
            return x != y ? x > y : depth(a) < depth(b);
        });
        return runs;
    }

    // Folders whose content another holds, the largest first: each group's first copy is kept,
    // the others left out, and what is below them with them.
    void GroupFolders(std::vector<DuplicateGroup>& groups) {
        leftOut_.assign(folders_.size(), false);
        for (const std::vector<std::uint32_t>& run : FolderRuns()) {
            DuplicateGroup group;
            group.size = folders_[run.front()].size;
            group.files = folders_[run.front()].files;
            std::vector<std::uint32_t> kept;
            for (const std::uint32_t slot : run) {
                if (!Beneath(slot)) kept.push_back(slot);
            }
            if (kept.size() < 2) continue;
            for (std::size_t i = 0; i < kept.size(); ++i) {
                if (i > 0) leftOut_[kept[i]] = true;
                const FolderSlot& slot = folders_[kept[i]];
                group.copies.push_back({slot.listing, Path(slot.pathAt, slot.pathBytes), {}});
            }
            groups.push_back(std::move(group));
        }
    }

    // Files whose content another holds, but for those in folders left out: hard links of one
    // listing are one copy.
    void GroupFiles(std::vector<DuplicateGroup>& groups) {
        if (leftOut_.size() != folders_.size()) leftOut_.assign(folders_.size(), false);
        std::sort(members_.begin(), members_.end(), [](const Member& a, const Member& b) {
            if (a.content != b.content) return a.content < b.content;
            if (a.listing != b.listing) return a.listing < b.listing;
            return a.line < b.line;
        });
        for (std::size_t i = 0; i < members_.size();) {
            std::size_t end = i;
            while (end < members_.size() && members_[end].content == members_[i].content) ++end;
            const Content& content = contents_[members_[i].content];
            if (content.size >= search_.minSize) {
                AddFileGroup(content, i, end, groups);
            }
            i = end;
        }
    }

    void AddFileGroup(const Content& content, std::size_t begin, std::size_t end,
                      std::vector<DuplicateGroup>& groups) {
        DuplicateGroup group;
        group.size = content.size;
        group.hash = content.hash;
        std::vector<const Member*> files;  // the first name of each file
        for (std::size_t i = begin; i < end; ++i) {
            const Member& member = members_[i];
            if (Beneath(member.folder)) continue;
            const auto same = std::find_if(files.begin(), files.end(), [&](const Member* other) {
                return other->listing == member.listing && other->device == member.device &&
                       other->inode == member.inode;
            });
            std::string path = Path(member.pathAt, member.pathBytes);
            if (same != files.end()) {
                group.copies[static_cast<std::size_t>(same - files.begin())].links.push_back(
                    std::move(path));
                continue;
            }
            files.push_back(&member);
            group.copies.push_back({member.listing, std::move(path), {}});
        }
        if (group.copies.size() > 1) groups.push_back(std::move(group));
    }

    const std::vector<ListingToSearch>& listings_;
    const DuplicateSearch& search_;
    const std::function<void()>& check_;
    std::vector<std::vector<Wanted>> wanted_;  // by listing: the entries with a copy somewhere
    std::vector<OpenedListing> opened_;
    std::vector<Content> contents_;
    std::vector<Member> members_;
    std::vector<FolderSlot> folders_;
    std::vector<bool> leftOut_;
    std::string paths_;
};

}  // namespace

reading::HashAlgorithm CommonAlgorithm(const std::vector<ListingToSearch>& listings) {
    std::ptrdiff_t balance = 0;  // XXH3-128 listings less SHA-256 ones
    for (const ListingToSearch& listing : listings) {
        if (!listing.record.hashes) continue;
        balance += listing.record.hashes->algorithm == reading::HashAlgorithm::kXxh3 ? 1 : -1;
    }
    return balance >= 0 ? reading::HashAlgorithm::kXxh3 : reading::HashAlgorithm::kSha256;
}

std::vector<DuplicateGroup> FindDuplicates(const std::vector<ListingToSearch>& listings,
                                           const DuplicateSearch& search,
                                           const std::function<void()>& check) {
    return Grouping(listings, search, check).Run();
}

void FilesElsewhere(const std::vector<ListingToSearch>& listings, reading::HashAlgorithm algorithm,
                    const std::function<void(const FileElsewhere&)>& each,
                    const std::function<void()>& check) {
    std::vector<std::uint64_t> elsewhere;
    {
        MergedBySize merged(listings, algorithm);
        merged.ForEachShared(
            [&elsewhere](std::uint64_t, std::string_view,
                         const std::vector<MergedBySize::Holder>& holders) {
                const bool other = std::any_of(holders.begin(), holders.end(),
                                               [](const auto& h) { return h.listing != 0; });
                if (!other) return;
                for (const auto& holder : holders) {
                    if (holder.listing == 0) elsewhere.push_back(holder.entry);
                }
            },
            check);
    }
    std::sort(elsewhere.begin(), elsewhere.end());
    KeptListing listing(listings.front().folder, kAction);
    const std::unique_ptr<KeptHashes> hashes = OpenHashes(listing, kAction);
    std::size_t next = 0;
    std::string path;
    ForEachHashedEntry(
        listing, *hashes,
        [&](const HashedEntry& hashed) {
            while (next < elsewhere.size() && elsewhere[next] < hashed.row.entry) ++next;
            EntryPath(hashed.entry, path);
            each({path, hashed.row.size,
                  next < elsewhere.size() && elsewhere[next] == hashed.row.entry});
        },
        check);
    if (!listing.Unchanged()) throw ListingChanged(kAction, listing.FolderPath());
}

}  // namespace quorvale::catalogue
