#include "catalogue/earlier_listing.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "catalogue/index_file.h"
#include "catalogue/kept_listing.h"
#include "catalogue/listing_hashes.h"
#include "runtime/folder_path.h"
#include "runtime/nanoseconds.h"
#include "runtime/runtime_error.h"

namespace quorvale::catalogue {

namespace {

// Decoded blocks kept for the next folders: a walk asks for them nearly in the index's order.
constexpr std::size_t kBlocksKept = 8;

// What a directory would report for an entry of this kind; 0 when the kind is not known.
unsigned char DirectoryType(char kind) {
    switch (kind) {
        case 'd':
            return DT_DIR;
        case 'f':
            return DT_REG;
        case 'l':
            return DT_LNK;
        case 'o':
            return DT_FIFO;  // anything else: listed among the files, as it was
        default:
            return 0;
    }
}

struct Identity {
    std::uint64_t device;
    std::uint64_t inode;
    bool operator==(const Identity&) const = default;
};
struct IdentityHash {
    std::size_t operator()(const Identity& id) const {
        return std::hash<std::uint64_t>()(id.inode * 0x9E3779B97F4A7C15ull ^ id.device);
    }
};

}  // namespace

bool TrustsFolderTimes(std::string_view fileSystemType) {
    constexpr std::array<std::string_view, 7> kTrusted = {"ext2",  "ext3",  "ext4", "xfs",
                                                          "btrfs", "tmpfs", "f2fs"};
    return std::find(kTrusted.begin(), kTrusted.end(), fileSystemType) != kTrusted.end();
}

std::string WhyNotReused(const ListingRecord& record, const ReuseRequest& request) {
    // Roots as typed may differ and be the same folder; a relative one names none for sure.
    const auto absolute = [](const std::string& root) {
        return root.starts_with('/') ? runtime::AbsoluteFolderPath(root) : std::string();
    };
    if (absolute(record.root).empty() || absolute(record.root) != absolute(request.root)) {
        return "it is a listing of \"" + record.root + "\", not of \"" + request.root + "\"";
    }
    if (!record.user || record.user->id != request.user.id ||
        record.user->groups != request.user.groups) {
        return "it was made by another user or with other groups";
    }
    const reading::ListingOptions& was = record.options;
    const reading::ListingOptions& now = request.options;
    if (was.oneFileSystem != now.oneFileSystem || was.details != now.details ||
        was.excludes != now.excludes) {
        return "it was made with other options (" + OptionsText(was) + ", not " + OptionsText(now) +
               ")";
    }
    if (record.indexName.empty()) return "it has no index";
    if (!request.trustFileSystem && !TrustsFolderTimes(request.fileSystemType)) {
        return "a folder's times on its file system (" +
               (request.fileSystemType.empty() ? std::string("unknown") : request.fileSystemType) +
               ") may not move with its entries (--reuse-trust trusts them)";
    }
    return {};
}

ListingRecord::User CurrentUser() {
    ListingRecord::User user{::geteuid(), {::getegid()}};
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> groups(static_cast<std::size_t>(count));
        const int got = ::getgroups(count, groups.data());
        for (int i = 0; i < got; ++i) user.groups.push_back(groups[static_cast<std::size_t>(i)]);
    }
    std::sort(user.groups.begin(), user.groups.end());
    user.groups.erase(std::unique(user.groups.begin(), user.groups.end()), user.groups.end());
    return user;
}

// The listing's folders as its index holds them, found by device and inode, and the blocks of
// entries read for them lately. Safe to call from any thread: what it finds is only read, the
// blocks kept are behind a lock.
class EarlierListing::Folders {
  public:
    explicit Folders(const std::string& folder) : listing_(folder, "reuse") {
        const auto cannot = [&](const std::string& why) {
            return runtime::RuntimeError(runtime::InvalidProcedureCall,
                                         "Cannot reuse \"" + folder + "\": " + why);
        };
        try {
            index_.emplace(OpenIndexOf(listing_));
            folders_ = index_->Folders();
            index_->CheckBlocks();
        } catch (const IndexDamaged& damaged) {
            throw cannot(damaged.what());
        }
        if (!listing_.Unchanged()) throw ListingChanged("reuse", folder);
        Arrange();
    }
    Folders(const Folders&) = delete;
    Folders& operator=(const Folders&) = delete;

    const KeptListing& Listing() const { return listing_; }
    KeptListing& Listing() { return listing_; }
    const IndexFile& Index() const { return *index_; }

    // The folder whose status is `st`, when the index holds it whole and it has not changed since.
    const IndexedFolder* Unchanged(const struct stat& st) const {
        const auto it = byIdentity_.find(
            {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)});
        if (it == byIdentity_.end()) return nullptr;
        const IndexedFolder& folder = folders_[it->second];
        const reading::FolderStamp& stamp = folder.stamp;
        const bool same = stamp.modified == runtime::Nanoseconds(st.st_mtim) &&
                          stamp.changed == runtime::Nanoseconds(st.st_ctim);
        const bool olderThanItsReading =
            std::max(stamp.modified, stamp.changed) <= stamp.readAt - kFolderTimeGranularity;
        return same && olderThanItsReading ? &folder : nullptr;
    }

    // Tells `told` the folder's entries, files first, then its subfolders, each with its
    // directory type, a block of the index at a time (a folder of many entries never has all its
    // blocks decoded at once); false, perhaps after telling some, when the index cannot give
    // them all.
    bool TellEntries(const IndexedFolder& folder, const Entry& told) const {
        const std::uint64_t end = folder.entry + 1 + folder.files;
        for (std::uint64_t entry = folder.entry + 1; entry < end;) {
            const std::shared_ptr<const IndexedBlock> block = BlockOf(entry);
            if (!block) return false;
            const std::uint64_t blockEnd = std::min(end, block->first + block->Count());
            for (; entry < blockEnd; ++entry) {
                const std::size_t at = entry - block->first;
                const unsigned char type = DirectoryType(block->kinds[at]);
                if (type == 0 || type == DT_DIR) return false;
                told(block->Name(at), type);
            }
        }
        const auto number = static_cast<std::size_t>(&folder - folders_.data());
        for (std::size_t c = childStart_[number]; c < childStart_[number + 1]; ++c) {
            const IndexedFolder& child = folders_[children_[c]];
            told(child.name, child.kind == 'l' ? DT_LNK : DT_DIR);
        }
        return true;
    }

  private:
    // The folders by identity (those whole and stamped), and each one's subfolders in order.
    void Arrange() {
        childStart_.assign(folders_.size() + 1, 0);
        for (const IndexedFolder& folder : folders_) {
            if (folder.parent != 0) ++childStart_[folder.parent];
        }
        for (std::size_t i = 1; i < childStart_.size(); ++i) childStart_[i] += childStart_[i - 1];
        children_.resize(childStart_.back());
        std::vector<std::size_t> next(childStart_.begin(), childStart_.end() - 1);
        for (std::size_t i = 0; i < folders_.size(); ++i) {
            if (folders_[i].parent != 0) children_[next[folders_[i].parent - 1]++] = i;
            if (folders_[i].stamp.known && !folders_[i].cutShort) {
                byIdentity_.try_emplace({folders_[i].stamp.device, folders_[i].stamp.inode}, i);
            }
        }
    }

    // The block holding `entry`: from those kept, else read and decoded outside the lock, so that
    // readers asking for different blocks decode them at once; none when it cannot be read.
    std::shared_ptr<const IndexedBlock> BlockOf(std::uint64_t entry) const {
        if (std::shared_ptr<const IndexedBlock> kept = KeptBlockOf(entry)) return kept;
        std::shared_ptr<const IndexedBlock> block;
        try {
            block = std::make_shared<const IndexedBlock>(index_->Block(entry));
        } catch (const runtime::RuntimeError&) {
            return nullptr;  // the folder is read instead
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& kept : blocks_) {
            if (kept->first == block->first) return kept;  // another reader decoded it meanwhile
        }
        blocks_.push_front(block);
        if (blocks_.size() > kBlocksKept) blocks_.pop_back();
        return block;
    }

    std::shared_ptr<const IndexedBlock> KeptBlockOf(std::uint64_t entry) const {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& block : blocks_) {
            if (entry >= block->first && entry - block->first < block->Count()) return block;
        }
        return nullptr;
    }

    KeptListing listing_;
    std::optional<IndexFile> index_;
    std::vector<IndexedFolder> folders_;
    std::vector<std::size_t> childStart_;  // folder i's subfolders: children_[childStart_[i]..]
    std::vector<std::size_t> children_;
    std::unordered_map<Identity, std::size_t, IdentityHash> byIdentity_;
    mutable std::mutex mutex_;
    mutable std::deque<std::shared_ptr<const IndexedBlock>> blocks_;
};

EarlierListing::EarlierListing(const std::string& folder)
    : folders_(std::make_unique<Folders>(folder)) {}

EarlierListing::~EarlierListing() = default;

const ListingRecord& EarlierListing::Record() const {
    return folders_->Listing().Record();
}

std::pair<std::uint64_t, std::uint64_t> EarlierListing::FolderIdentity() const {
    return folders_->Listing().FolderIdentity();
}

const std::string& EarlierListing::FolderPath() const {
    return folders_->Listing().FolderPath();
}

const IndexFile& EarlierListing::Index() const {
    return folders_->Index();
}

std::unique_ptr<KeptHashes> EarlierListing::OpenHashes(KeptHashes::RowsCheck check) {
    return catalogue::OpenHashes(folders_->Listing(), "reuse", check);
}

std::unique_ptr<HashesBySize> EarlierListing::OpenHashesBySize() {
    return catalogue::OpenHashesBySize(folders_->Listing(), "reuse");
}

bool EarlierListing::Entries(const struct stat& st, const Entry& entry) const {
    const IndexedFolder* folder = folders_->Unchanged(st);
    return folder != nullptr && folders_->TellEntries(*folder, entry);
}

}  // namespace quorvale::catalogue
