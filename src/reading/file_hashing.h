// Hashing one regular file as a reader thread does it: opened beneath the listed folder's handle
// (never through a link), checked to be the file that was listed before a byte is read, read in
// large pieces, and checked again after the last one, so that a hash is never of bytes the file did
// not hold. Pages the reading brought into the page cache are dropped once hashed; pages that were
// there before are left, so that hashing a drive does not push the user's work out of memory (see
// PageCacheCare). No threads here.
#pragma once

#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "reading/content_hash.h"
#include "reading/file_system.h"
#include "runtime/unique_fd.h"

namespace quorvale::reading {

// Reads of at least this many bytes, as a disk wants them.
inline constexpr std::size_t kHashReadBytes = std::size_t{1} << 20;

// A file to hash: its number in the listing, its path beneath the folder handle given with it
// (its name from `nameAt` on, its folder's path before, "" for the folder itself), and what the
// listing says of it (its type, size and times; which file it is where known).
struct FileToHash {
    std::uint64_t entry = 0;
    std::string path;
    std::size_t nameAt = 0;
    EntryDetails listed;
};

// What hashing one file gave.
struct HashedFile {
    enum class Outcome : std::uint8_t {
        kHashed,      // `hash` is of every byte the file held, unchanged while read
        kChanged,     // it is not what was listed, or it changed while it was read: no hash
        kNotRegular,  // it is no longer a regular file (a fifo, a folder, a link): never opened
        kGone,        // no entry of that name any more
        kFailed,      // it could not be opened or read: `why`
    };
    Outcome outcome = Outcome::kFailed;
    std::string hash;
    EntryDetails found;       // the file as it was opened (type, size, identity, times)
    std::int64_t readAt = 0;  // when its reading began, nanoseconds since the epoch
    std::uint64_t bytes = 0;  // read from the disk
    std::string why;          // kFailed: the system's reason
};

// How closely the file opened must match what was listed before it is read.
enum class HashCheck : std::uint8_t {
    kSameFile,     // the same device, inode, size, modification and change time: a Save's
    kSameContent,  // the same size and modification time: a verification of a listing
};

class FileHashing {
  public:
    explicit FileHashing(HashAlgorithm algorithm);

    // What was known of a file's pages in the page cache before its reading.
    enum class Cache : std::uint8_t {
        kUnknown,  // nothing: it is looked at before the reading (see PageCacheCare)
        kWhole,    // every page was there: nothing is dropped after
        kNone,     // none was there: every page the reading brings in is dropped after
        kSome,     // some were there: nothing is dropped
    };

    // Hashes `file` beneath the folder open as `rootFd`. `stop` is asked before each read; when
    // it says so the file gets no hash (kFailed, "stopped"). `betweenReads`, where given, is
    // called after each read (a test changes the file there). `cache`: what HashIfCached found.
    HashedFile Hash(int rootFd, const FileToHash& file, HashCheck check,
                    const std::function<bool()>& stop,
                    const std::function<void(const FileToHash&)>& betweenReads = {},
                    Cache cache = Cache::kUnknown);

    // Opens `file` as Hash does and hashes it at once where reading it waits on no disk: every
    // page of it (as listed) is in the page cache now, or it cannot be opened at all (the outcome
    // says why). Otherwise it is left unread, and where its first byte lies on its disk is told
    // (see FirstPhysicalByte; 0 where that cannot be told), with what was found of it in the cache,
    // for it to be hashed in the disk's order. One open either way.
    // The cache is asked of each file (cachestat), which brings nothing in. (A read from the cache
    // alone, RWF_NOWAIT, cannot tell instead: refused, it begins a read-ahead, which on a fast
    // disk may be done before the read is refused, and the read then succeeds with pages the cache
    // did not hold.)
    struct CachedOrPlace {
        std::optional<HashedFile> hashed;  // none: left unread
        std::uint64_t place = 0;
        Cache cache = Cache::kUnknown;  // where left unread
    };
    CachedOrPlace HashIfCached(int rootFd, const FileToHash& file, HashCheck check,
                               const std::function<bool()>& stop,
                               const std::function<void(const FileToHash&)>& betweenReads = {});

    // Asks the system to bring the first `bytes` of `file` into the page cache in the background
    // (a read-ahead), for its reading soon after; nothing where it cannot be opened.
    static void ReadAhead(int rootFd, const FileToHash& file, std::uint64_t bytes);

  private:
    runtime::UniqueFd Open(int rootFd, const FileToHash& file, HashedFile& result);
    HashedFile HashOpen(int fd, const FileToHash& file, HashCheck check, Cache cache,
                        const std::function<bool()>& stop,
                        const std::function<void(const FileToHash&)>& betweenReads);
    bool ReadPiece(int fd, std::uint64_t at, std::size_t want, HashedFile& result);
    bool ReadAll(int fd, Cache cache, HashedFile& result, const FileToHash& file,
                 const std::function<bool()>& stop,
                 const std::function<void(const FileToHash&)>& betweenReads);

    ContentHash hash_;
    std::string buffer_;
    std::string folderPath_;      // of the file hashed last, beneath the root
    runtime::UniqueFd folderFd_;  // its folder's handle (O_PATH), for the next file there
};

// Leaves the page cache as it found a file: a file none of whose pages were cached when it was
// looked at, before its reading, has every page the reading brought in dropped again once it is
// read (whatever ends the reading); one with pages cached already, all or some, is left as it is,
// and so is one never looked at. Where the system cannot tell (no cachestat, before Linux 6.5),
// nothing is dropped.
class PageCacheCare {
  public:
    explicit PageCacheCare(int fd) : fd_(fd) {}
    // Asks what the cache holds of the file before its reading brings anything in.
    void LookAtTheCache();
    // Tells that none of the file's pages was cached before its reading (it was looked at).
    void NoneWasCached() { dropAfter_ = true; }
    ~PageCacheCare();
    PageCacheCare(const PageCacheCare&) = delete;
    PageCacheCare& operator=(const PageCacheCare&) = delete;
    bool DropsAfter() const { return dropAfter_; }
    // What the cache holds of the file's first `size` bytes: kWhole, kSome, kNone; kUnknown where
    // the system cannot tell.
    static FileHashing::Cache Held(int fd, std::uint64_t size);

  private:
    int fd_;
    bool dropAfter_ = false;
};

// Opens `path` beneath `folderFd` with `flags`, following no link on the way and never leaving the
// folder: a handle, or -1 with errno set.
int OpenBeneath(int folderFd, const std::string& path,
                int flags = O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);

// Where the first byte of the open file lies on its disk (FIEMAP), for reading files in the order
// the disk holds them; none where the file system cannot tell (tmpfs, FUSE, an empty file).
std::optional<std::uint64_t> FirstPhysicalByte(int fd);

// Whether the folder open as `fd` lies on a rotational disk, as the kernel says of its device
// (sysfs `queue/rotational`); false where it cannot tell.
bool OnRotationalDisk(int fd);

}  // namespace quorvale::reading
