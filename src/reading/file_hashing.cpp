#include "reading/file_hashing.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "reading/folder_read.h"
#include "runtime/nanoseconds.h"
#include "runtime/unique_fd.h"

#include <linux/fiemap.h>
#include <linux/fs.h>
#include <linux/openat2.h>

namespace quorvale::reading {

namespace {

constexpr int kOpenFileFlags = O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

// Whether the file as opened is the one listed (`check` says how closely).
bool Matches(const EntryDetails& listed, const EntryDetails& found, HashCheck check) {
    if (found.size != listed.size || found.modifiedNs != listed.modifiedNs) return false;
    if (check == HashCheck::kSameContent) return true;
    return found.device == listed.device && found.inode == listed.inode &&
           found.changedNs == listed.changedNs;
}

// Whether nothing in the file's status says it changed from `before` to `after`.
bool Unchanged(const EntryDetails& before, const EntryDetails& after) {
    return before.size == after.size && before.modifiedNs == after.modifiedNs &&
           before.changedNs == after.changedNs && before.inode == after.inode;
}

}  // namespace

int OpenBeneath(int folderFd, const std::string& path, int flags) {
    struct open_how how {};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (;;) {
        const long fd = ::syscall(SYS_openat2, folderFd, path.c_str(), &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        if (errno == EINTR) continue;
        if (errno == ENOSYS) {  // a kernel before 5.6: the last part at least is no link
            return ::openat(folderFd, path.c_str(), flags | O_NOFOLLOW);
        }
        // A link met on the way is a path that no longer leads where it did.
        if (errno == ELOOP || errno == EXDEV) errno = ENOENT;
        return -1;
    }
}

FileHashing::FileHashing(HashAlgorithm algorithm) : hash_(algorithm) {
    buffer_.resize(kHashReadBytes);
}

// Opens the file to hash: through the handle of its folder, kept from the file before when it is
// the same folder (looked up beneath `rootFd` otherwise), never following a link. No handle, with
// the outcome in `result`, when it cannot be opened.
runtime::UniqueFd FileHashing::Open(int rootFd, const FileToHash& file, HashedFile& result) {
    const std::string_view folder = std::string_view(file.path).substr(0, file.nameAt);
    if (!folderFd_ || folder != folderPath_) {
        folderPath_.assign(folder);
        folderFd_ = runtime::UniqueFd(
            folder.empty() ? ::fcntl(rootFd, F_DUPFD_CLOEXEC, 0)
                           : OpenBeneath(rootFd, folderPath_, O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    int fd = -1;
    if (folderFd_) {
        const char* name = file.path.c_str() + file.nameAt;
        fd = ::openat(folderFd_.Get(), name, kOpenFileFlags | O_NOATIME);
        // Only the file's owner may leave its access time as it is.
        if (fd < 0 && errno == EPERM) fd = ::openat(folderFd_.Get(), name, kOpenFileFlags);
    }
    if (fd < 0) {
        const int error = errno;
        folderPath_.clear();
        if (error == ENOENT || error == ENOTDIR || error == EXDEV) {
            result.outcome = HashedFile::Outcome::kGone;  // or its folder: no longer where listed
        } else if (error == ELOOP || error == ENXIO || error == EWOULDBLOCK) {
            result.outcome = HashedFile::Outcome::kNotRegular;  // a link, a socket, ...
        } else {
            result.why = std::strerror(error);
        }
    }
    return runtime::UniqueFd(fd);
}

FileHashing::CachedOrPlace FileHashing::HashIfCached(
    int rootFd, const FileToHash& file, HashCheck check, const std::function<bool()>& stop,
    const std::function<void(const FileToHash&)>& betweenReads) {
    CachedOrPlace answer;
    HashedFile failed;
    const runtime::UniqueFd fd = Open(rootFd, file, failed);
    if (!fd) {
        answer.hashed = std::move(failed);
        return answer;
    }
    answer.cache = PageCacheCare::Held(fd.Get(), file.listed.size);
    if (answer.cache == Cache::kWhole) {
        answer.hashed = HashOpen(fd.Get(), file, check, answer.cache, stop, betweenReads);
    } else {
        answer.place = FirstPhysicalByte(fd.Get()).value_or(0);
    }
    return answer;
}

void FileHashing::ReadAhead(int rootFd, const FileToHash& file, std::uint64_t bytes) {
    const runtime::UniqueFd fd(OpenBeneath(rootFd, file.path, kOpenFileFlags));
    if (fd) ::posix_fadvise(fd.Get(), 0, static_cast<off_t>(bytes), POSIX_FADV_WILLNEED);
}

HashedFile FileHashing::Hash(int rootFd, const FileToHash& file, HashCheck check,
                             const std::function<bool()>& stop,
                             const std::function<void(const FileToHash&)>& betweenReads,
                             Cache cache) {
    HashedFile failed;
    const runtime::UniqueFd fd = Open(rootFd, file, failed);
    if (!fd) return failed;
    return HashOpen(fd.Get(), file, check, cache, stop, betweenReads);
}

// Hashes the file open as `fd`; `cache` says what was known of its pages in the page cache before
// its reading.
HashedFile FileHashing::HashOpen(int fd, const FileToHash& file, HashCheck check, Cache cache,
                                 const std::function<bool()>& stop,
                                 const std::function<void(const FileToHash&)>& betweenReads) {
    HashedFile result;
    struct stat st {};
    // A verification tells a file edited as files are from a damaged one before reading a byte. A
    // Save needs no look before: the look after tells any change since the walk listed the file,
    // since its change time moves with every change and cannot be set back.
    if (check == HashCheck::kSameContent) {
        if (::fstat(fd, &st) != 0) {
            result.why = std::strerror(errno);
            return result;
        }
        result.found = DetailsOf(st);
        if (!S_ISREG(st.st_mode) || !Matches(file.listed, result.found, check)) {
            result.outcome = S_ISREG(st.st_mode) ? HashedFile::Outcome::kChanged
                                                 : HashedFile::Outcome::kNotRegular;
            return result;
        }
    }
    result.readAt = runtime::NanosecondsNow();
    hash_.Reset();
    const bool read = ReadAll(fd, cache, result, file, stop, betweenReads);
    if (::fstat(fd, &st) != 0) {
        result.why = std::strerror(errno);
        return result;
    }
    const EntryDetails after = DetailsOf(st);
    if (!S_ISREG(st.st_mode)) {
        result.outcome = HashedFile::Outcome::kNotRegular;
        return result;
    }
    if (!read) return result;
    const bool unchanged = check == HashCheck::kSameFile ? Matches(file.listed, after, check)
                                                         : Unchanged(result.found, after);
    result.found = after;
    if (!unchanged) {
        result.outcome = HashedFile::Outcome::kChanged;
        return result;
    }
    result.hash = hash_.Final();
    result.outcome = HashedFile::Outcome::kHashed;
    return result;
}

// Reads the file's bytes, as many as listed, into the hash.
bool FileHashing::ReadAll(int fd, Cache cache, HashedFile& result, const FileToHash& file,
                          const std::function<bool()>& stop,
                          const std::function<void(const FileToHash&)>& betweenReads) {
    // What the cache held of it, where not known yet, asked before its first read brings pages in.
    PageCacheCare care(fd);
    const std::uint64_t size = file.listed.size;
    std::uint64_t at = 0;
    if (cache == Cache::kUnknown && size != 0) {
        care.LookAtTheCache();
    } else if (cache == Cache::kNone) {
        care.NoneWasCached();
    }
    while (at < size) {
        if (stop && stop()) {
            result.why = "stopped";
            return false;
        }
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), size - at));
        if (!ReadPiece(fd, at, want, result)) return false;
        hash_.Update(std::string_view(buffer_.data(), want));
        result.bytes += want;
        at += want;
        if (betweenReads) betweenReads(file);
    }
    return true;
}

// Reads the piece of `want` bytes at `at` into the buffer.
bool FileHashing::ReadPiece(int fd, std::uint64_t at, std::size_t want, HashedFile& result) {
    for (std::size_t got = 0; got < want;) {
        const ssize_t n =
            ::pread(fd, buffer_.data() + got, want - got, static_cast<off_t>(at + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result.why = std::strerror(errno);
            return false;
        }
        if (n == 0) {  // it ended before its size: it shrank while read
            result.outcome = HashedFile::Outcome::kChanged;
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

// What cachestat(2) answers (Linux 6.5 and later; the C library has no wrapper yet).
struct CacheRange {
    std::uint64_t offset;
    std::uint64_t length;  // 0: to the end of the file
};
struct CacheStatus {
    std::uint64_t cached;
    std::uint64_t dirty;
    std::uint64_t writeback;
    std::uint64_t evicted;
    std::uint64_t recentlyEvicted;
};
constexpr long kCacheStatCall = 451;

// How many pages of the file's first `length` bytes (0: all of it) the page cache holds; none where
// the system cannot tell (an older kernel).
std::optional<std::uint64_t> CachedPages(int fd, std::uint64_t length) {
    CacheRange range{0, length};
    CacheStatus status{};
    if (::syscall(kCacheStatCall, fd, &range, &status, 0) != 0) return std::nullopt;
    return status.cached;
}

}  // namespace

void PageCacheCare::LookAtTheCache() {
    // Where the system cannot tell, nothing is dropped: the cache is left as the kernel keeps it,
    // never emptied of what the user had there.
    dropAfter_ = CachedPages(fd_, 0) == std::uint64_t{0};
}

FileHashing::Cache PageCacheCare::Held(int fd, std::uint64_t size) {
    if (size == 0) return FileHashing::Cache::kWhole;
    const std::optional<std::uint64_t> cached = CachedPages(fd, size);
    if (!cached) return FileHashing::Cache::kUnknown;
    static const auto kPage = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    if (*cached >= (size + kPage - 1) / kPage) return FileHashing::Cache::kWhole;
    return *cached == 0 ? FileHashing::Cache::kNone : FileHashing::Cache::kSome;
}

PageCacheCare::~PageCacheCare() {
    if (dropAfter_) ::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
}

std::optional<std::uint64_t> FirstPhysicalByte(int fd) {
    // The map and room for one extent after it, as the call wants them.
    alignas(struct fiemap) char request[sizeof(struct fiemap) + sizeof(struct fiemap_extent)] = {};
    auto* map = reinterpret_cast<struct fiemap*>(request);
    map->fm_start = 0;
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_extent_count = 1;
    if (::ioctl(fd, FS_IOC_FIEMAP, map) != 0 || map->fm_mapped_extents == 0) {
        return std::nullopt;
    }
    return map->fm_extents[0].fe_physical;
}

bool OnRotationalDisk(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    const std::string device = "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                               std::to_string(minor(st.st_dev));
    // A partition's queue is its disk's, one folder up.
    for (const char* queue : {"/queue/rotational", "/../queue/rotational"}) {
        std::ifstream in(device + queue);
        char flag = 0;
        if (in >> flag) return flag == '1';
    }
    return false;
}

}  // namespace quorvale::reading
