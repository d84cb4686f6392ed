// A kept listing as the earlier reading of a new Save of the same folder (--reuse): the folders its
// index holds whole, found by device and inode, so that the Save takes the entries of each folder
// that has not changed since from the listing rather than reading it again. Whether a listing may
// be reused at all (the same folder, user, options, a listing whole and indexed, a file system
// whose folder times can be trusted) is WhyNotReused's to say.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "catalogue/hash_file.h"
#include "catalogue/index_file.h"
#include "catalogue/listing_record.h"
#include "reading/earlier_reading.h"
#include "reading/listing_options.h"

namespace quorvale::catalogue {

// How much older than the earlier reading of a folder its times must be for the folder to be
// taken from there: a change in the same tick of the file system's clock as the reading, or
// stamped by a clock that lags the reading's, is never missed.
inline constexpr std::int64_t kFolderTimeGranularity = 1'000'000'000;  // nanoseconds

// What a new Save is, against which a kept listing is checked.
struct ReuseRequest {
    std::string root;  // as the Save lists it (an absolute path)
    reading::ListingOptions options;
    ListingRecord::User user;
    std::string fileSystemType;    // of the root, as the mount table names it
    bool trustFileSystem = false;  // --reuse-trust: any file system's folder times
};

// The file systems whose folders' modification and change times move with every change of their
// entries, on this machine's clock: ext2, ext3, ext4, xfs, btrfs, tmpfs, f2fs.
bool TrustsFolderTimes(std::string_view fileSystemType);

// Why a Save of `request` must read every folder rather than reuse the listing `record` describes;
// empty when it may reuse it.
std::string WhyNotReused(const ListingRecord& record, const ReuseRequest& request);

// Whom this process reads as: its effective user and every group it has.
ListingRecord::User CurrentUser();

class EarlierListing final : public reading::EarlierReading {
  public:
    // The listing kept in `folder`, read as a search reads it (its record strictly, regular files
    // only), with its index. Throws runtime::RuntimeError ("Cannot reuse "<folder>": why") when
    // there is none, or its index is missing or damaged.
    explicit EarlierListing(const std::string& folder);
    ~EarlierListing() override;
    EarlierListing(const EarlierListing&) = delete;
    EarlierListing& operator=(const EarlierListing&) = delete;

    const ListingRecord& Record() const;
    const std::string& FolderPath() const;
    // Its index, its header and every block checked when it was opened; its reads may be made
    // from any thread while this listing lasts.
    const IndexFile& Index() const;
    // Its list folder's device and inode, from the handle it is read through.
    std::pair<std::uint64_t, std::uint64_t> FolderIdentity() const;
    bool Entries(const struct stat& st, const Entry& entry) const override;
    // Its content hashes (see catalogue::OpenHashes), for a Save that carries them over. Throws
    // runtime::RuntimeError ("Cannot reuse "<folder>": why").
    std::unique_ptr<KeptHashes> OpenHashes(
        KeptHashes::RowsCheck check = KeptHashes::RowsCheck::kNow);
    // Its hashes by size and hash, their header checked. Throws as OpenHashes.
    std::unique_ptr<HashesBySize> OpenHashesBySize();

  private:
    class Folders;
    std::unique_ptr<Folders> folders_;
};

}  // namespace quorvale::catalogue
