#include "catalogue/listing_compare.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>

#include "catalogue/compare_moves.h"
#include "catalogue/index_file.h"
#include "catalogue/kept_listing.h"
#include "catalogue/listing_find.h"
#include "catalogue/listing_hashes.h"
#include "listing/details_line.h"

namespace quorvale::catalogue {

using runtime::RuntimeError;

namespace {

// Entries compared between two calls of the caller's check: a few milliseconds' worth.
constexpr std::size_t kStepsBetweenChecks = 4096;

// The bytes of a name as the walk sorted them, from the list file's text of it: a CR or LF it
// holds is written as the sign for it (three bytes), and taken back as the byte it stands for.
// (A name that truly holds the sign cannot be told from one holding the byte.) -1 at the end.
class WalkedBytes {
  public:
    explicit WalkedBytes(std::string_view text) : text_(text) {}
    int Next() {
        if (at_ == text_.size()) return -1;
        if (text_.substr(at_, 2) == "\xE2\x90" && at_ + 2 < text_.size()) {
            const char last = text_[at_ + 2];
            if (last == '\x8A' || last == '\x8D') {
                at_ += 3;
                return last == '\x8A' ? '\n' : '\r';
            }
        }
        return static_cast<unsigned char>(text_[at_++]);
    }

  private:
    std::string_view text_;
    std::size_t at_ = 0;
};

// The order the walk lists names or folders in: by the bytes it sorted, a name that ends first
// first, and for folders by their paths' names one by one ("a/b" before "a-b": with `slashFirst`
// "/" ranks before every byte).
int CompareAsWalked(std::string_view a, std::string_view b, bool slashFirst) {
    const auto rank = [slashFirst](int c) {
        return c < 0 ? 0 : slashFirst && c == '/' ? 1 : c + 2;
    };
    // The bytes both share are skipped at once, back to where a sign they may end inside began:
    // only the rest is taken byte by byte.
    std::size_t same = static_cast<std::size_t>(
        std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin()).first -
        a.begin());
    if (same == a.size() && same == b.size()) return 0;
    if (same >= 1 && a[same - 1] == '\xE2') {
        same -= 1;
    } else if (same >= 2 && a[same - 1] == '\x90' && a[same - 2] == '\xE2') {
        same -= 2;
    }
    WalkedBytes left(a.substr(same));
    WalkedBytes right(b.substr(same));
    for (;;) {
        const int x = rank(left.Next());
        const int y = rank(right.Next());
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
}

// The order of two entries in a listing: by folder, the folder's line before its files, files by
// name.
int CompareEntries(const KeptEntry& a, const KeptEntry& b) {
    if (const int folders = CompareAsWalked(a.relative, b.relative, true); folders != 0) {
        return folders;
    }
    if (a.isFile != b.isFile) return a.isFile ? 1 : -1;
    return CompareAsWalked(a.name, b.name, false);
}

// What a listing can tell of which file each entry is: its files' hashes (with their devices and
// inodes) and its folders' devices and inodes from its index, each read beside the entries in
// listing order, where it has them.
class Identities {
  public:
    Identities(KeptListing& listing, const std::function<void(std::string_view)>& warning) {
        if (listing.Record().hashes) {
            try {
                hashes_ = OpenHashes(listing, "compare");
                rows_.emplace(*hashes_);
            } catch (const RuntimeError& error) {
                if (warning) warning(std::string(error.what()) + ": contents are not compared");
            }
        }
        try {
            index_.emplace(OpenIndexOf(listing));
        } catch (const RuntimeError&) {
            index_.reset();  // its folders are not told apart by inode: they do not move
        }
    }
    // Whether its index tells its folders' inodes.
    bool KnowsFolders() const { return index_.has_value(); }
    reading::HashAlgorithm Algorithm() const {
        return hashes_ ? hashes_->Algorithm() : reading::HashAlgorithm::kNone;
    }
    // The row of a file; entries asked for in listing order.
    const HashRow* Row(const KeptEntry& entry) {
        return rows_ && entry.isFile ? rows_->Of(entry.line) : nullptr;
    }
    // Which file `entry` is; each folder asked for once, in listing order.
    EntryIdentity Of(const KeptEntry& entry, bool withHash) {
        EntryIdentity identity;
        if (!entry.isFile) {
            if (const IndexedFolder* folder = Folder()) {
                identity.inodeKnown = folder->stamp.known;
                identity.device = folder->stamp.device;
                identity.inode = folder->stamp.inode;
            }
            return identity;
        }
        if (const HashRow* row = Row(entry)) {
            identity.inodeKnown = true;
            identity.device = row->device;
            identity.inode = row->inode;
            identity.size = row->size;
            if (withHash) identity.hash = row->hash;
        }
        return identity;
    }
    // Passes a folder entry.
    void PassFolder(const KeptEntry& entry) {
        if (!entry.isFile) ++nextFolder_;
    }

  private:
    // The index's row of the folder entry passed next, its frame read when a folder of it is asked
    // for (a folder only one listing holds); none where the index cannot tell.
    const IndexedFolder* Folder() {
        if (!index_) return nullptr;
        const std::uint64_t frame = nextFolder_ / kFoldersPerFrame;
        try {
            if (frame != frameRead_) {
                frameFolders_.clear();
                std::uint64_t entry = 0;  // the stamps are what is asked, not the entries
                index_->FolderFrame(static_cast<std::uint32_t>(frame), entry, frameFolders_);
                frameRead_ = frame;
            }
        } catch (const RuntimeError&) {
            index_.reset();
            return nullptr;
        }
        const std::size_t at = nextFolder_ % kFoldersPerFrame;
        return at < frameFolders_.size() ? &frameFolders_[at] : nullptr;
    }

    std::unique_ptr<KeptHashes> hashes_;
    std::optional<KeptHashes::InOrder> rows_;
    std::optional<IndexFile> index_;
    std::uint64_t frameRead_ = UINT64_MAX;  // the frame in frameFolders_
    std::vector<IndexedFolder> frameFolders_;
    std::uint64_t nextFolder_ = 0;
};

// Whether two listings are of one drive, so that an inode in one is the same file in the other:
// by the file system's UUID, else its id on one host.
bool OfOneDrive(const ListingRecord& a, const ListingRecord& b) {
    const runtime::FileSystemFacts& x = a.fileSystem;
    const runtime::FileSystemFacts& y = b.fileSystem;
    if (!x.uuid.empty() || !y.uuid.empty()) return x.uuid == y.uuid;
    return !x.fsid.empty() && x.fsid == y.fsid && a.host == b.host;
}

// Whether both listings hashed their files with one algorithm: their contents are compared.
bool HashedAlike(const Identities& olds, const Identities& news) {
    return olds.Algorithm() != reading::HashAlgorithm::kNone &&
           olds.Algorithm() == news.Algorithm();
}

// Whether a folder's inode tells it in both listings. Where neither that, nor details, nor
// hashes can tell a move, the differences are told as they come, nothing held.
bool FoldersKnown(bool oneDrive, const Identities& olds, const Identities& news) {
    return oneDrive && olds.KnowsFolders() && news.KnowsFolders();
}

// The device number "major:minor" stands for, as stat gives it.
std::uint64_t DeviceNumber(const std::string& text) {
    unsigned major = 0;
    unsigned minor = 0;
    if (std::sscanf(text.c_str(), "%u:%u", &major, &minor) != 2) return 0;
    return makedev(major, minor);
}

// Tells what changed of an entry both listings hold, if anything did; whether something did.
bool ReportChange(const KeptEntry& old, const KeptEntry& now, Identities& olds, Identities& news,
                  bool compareContent, std::string& line, std::string& path, MovesTold& moves) {
    std::string letters =
        old.details == now.details ? std::string() : ChangedLetters(old.details, now.details);
    if (compareContent && old.isFile) {
        const HashRow* was = olds.Row(old);
        const HashRow* is = news.Row(now);
        if (was != nullptr && is != nullptr && was->hash != is->hash) letters += 'c';
    }
    if (letters.empty()) return false;
    line = "~" + letters + '\t';
    EntryPath(now, path);
    line += path;
    moves.Changed(line);
    return true;
}

// Tells `moves` of an entry only one listing holds.
void OnlyIn(const KeptEntry& entry, Identities& ids, bool compareContent, std::string& path,
            MovesTold& moves,
            void (MovesTold::*tell)(std::string_view, std::string_view, bool,
                                    const EntryIdentity&)) {
    EntryPath(entry, path);
    (moves.*tell)(path, entry.details, !entry.isFile, ids.Of(entry, compareContent));
    ids.PassFolder(entry);
}

// Listings made with options that leave out other entries differ by those entries.
void WarnOfOtherOptions(const reading::ListingOptions& was, const reading::ListingOptions& then,
                        const std::function<void(std::string_view)>& warning) {
    if (warning && (was.oneFileSystem != then.oneFileSystem || was.excludes != then.excludes)) {
        warning("the listings were made with other options (" + OptionsText(was) + ", then " +
                OptionsText(then) + "): what one leaves out shows as removed or added");
    }
}

}  // namespace

bool CompareListings(const std::string& oldFolder, const std::string& newFolder,
                     const std::function<void(std::string_view)>& difference,
                     const std::function<void()>& check,
                     const std::function<void(std::string_view)>& warning) {
    if (check) check();
    KeptListing olds(oldFolder, "compare");
    KeptListing news(newFolder, "compare");
    WarnOfOtherOptions(olds.Record().options, news.Record().options, warning);
    Identities oldIds(olds, warning);
    Identities newIds(news, warning);
    const bool compareContent = HashedAlike(oldIds, newIds);
    const bool withDetails = olds.HasDetails() && news.HasDetails();
    const bool oneDrive = OfOneDrive(olds.Record(), news.Record());
    MovesTold moves(difference, warning, oneDrive, DeviceNumber(olds.Record().fileSystem.device),
                    DeviceNumber(news.Record().fileSystem.device),
                    withDetails || compareContent || FoldersKnown(oneDrive, oldIds, newIds));
    if (withDetails) {
        olds.ReadDetails();
        news.ReadDetails();
    }
    std::optional<KeptEntry> old = olds.Next();
    std::optional<KeptEntry> now = news.Next();
    bool differ = false;
    std::string line;
    std::string path;
    std::size_t steps = 0;
    while (old || now) {
        if (check && ++steps % kStepsBetweenChecks == 0) check();
        const int order = !old ? 1 : !now ? -1 : CompareEntries(*old, *now);
        if (order == 0) {
            differ = (withDetails && ReportChange(*old, *now, oldIds, newIds, compareContent, line,
                                                  path, moves)) ||
                     differ;
            oldIds.PassFolder(*old);
            newIds.PassFolder(*now);
            old = olds.Next();
            now = news.Next();
            continue;
        }
        differ = true;
        if (order < 0) {
            OnlyIn(*old, oldIds, compareContent, path, moves, &MovesTold::Removed);
            old = olds.Next();
        } else {
            OnlyIn(*now, newIds, compareContent, path, moves, &MovesTold::Added);
            now = news.Next();
        }
    }
    moves.Finish();
    // Told what was read; if a Save replaced any of it meanwhile, that may mix two listings.
    for (const KeptListing* reader : {&olds, &news}) {
        if (!reader->Unchanged()) throw ListingChanged("compare", reader->FolderPath());
    }
    return differ;
}

}  // namespace quorvale::catalogue
