#include "reading/file_hashing.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
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

int OpenBeneath(int folderFd, const std::string& path) {
    struct open_how how {};
    how.flags = kOpenFileFlags | O_NOATIME;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (;;) {
        const long fd = ::syscall(SYS_openat2, folderFd, path.c_str(), &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        if (errno == EINTR) continue;
        // Only the file's owner may leave its access time as it is.
        if (errno == EPERM && (how.flags & O_NOATIME) != 0) {
            how.flags &= ~static_cast<std::uint64_t>(O_NOATIME);
            continue;
        }
        if (errno == ENOSYS) {  // a kernel before 5.6: the last part at least is no link
            return ::openat(folderFd, path.c_str(), kOpenFileFlags);
        }
        // A link met on the way is a path that no longer leads where it did.
        if (errno == ELOOP || errno == EXDEV) errno = ENOENT;
        return -1;
    }
}

FileHashing::FileHashing(HashAlgorithm algorithm) : hash_(algorithm) {
    buffer_.resize(kHashReadBytes);
}

HashedFile FileHashing::Hash(int folderFd, const FileToHash& file, HashCheck check,
                             const std::function<bool()>& stop,
                             const std::function<void(const FileToHash&)>& betweenReads) {
    HashedFile result;
    // What the path names now, never followed if it is a link: only a regular file is opened.
    struct stat st {};
    const runtime::UniqueFd fd(OpenBeneath(folderFd, file.path));
    if (!fd) {
        const int error = errno;
        if (error == ENOENT) {
            result.outcome = HashedFile::Outcome::kGone;
        } else if (error == ELOOP || error == ENXIO || error == EWOULDBLOCK) {
            result.outcome = HashedFile::Outcome::kNotRegular;  // a link, a socket, ...
        } else {
            result.why = std::strerror(error);
        }
        return result;
    }
    if (::fstat(fd.Get(), &st) != 0) {
        result.why = std::strerror(errno);
        return result;
    }
    result.found = DetailsOf(st);
    if (!S_ISREG(st.st_mode)) {
        result.outcome = HashedFile::Outcome::kNotRegular;
        return result;
    }
    if (!Matches(file.listed, result.found, check)) {
        result.outcome = HashedFile::Outcome::kChanged;
        return result;
    }
    result.readAt = runtime::NanosecondsNow();
    hash_.Reset();
    if (!ReadAll(fd.Get(), result.found.size, result, file, stop, betweenReads)) return result;
    if (::fstat(fd.Get(), &st) != 0) {
        result.why = std::strerror(errno);
        return result;
    }
    if (!Unchanged(result.found, DetailsOf(st))) {
        result.outcome = HashedFile::Outcome::kChanged;
        return result;
    }
    result.hash = hash_.Final();
    result.outcome = HashedFile::Outcome::kHashed;
    return result;
}

// Reads the file's `size` bytes into the hash. A piece the page cache already held is taken from
// there without waiting (RWF_NOWAIT) and left there; what had to come from the disk is dropped
// from the cache once hashed.
bool FileHashing::ReadAll(int fd, std::uint64_t size, HashedFile& result, const FileToHash& file,
                          const std::function<bool()>& stop,
                          const std::function<void(const FileToHash&)>& betweenReads) {
    std::uint64_t at = 0;
    while (at < size) {
        if (stop && stop()) {
            result.why = "stopped";
            return false;
        }
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), size - at));
        std::size_t got = 0;
        struct iovec piece {
            buffer_.data(), want
        };
        const ssize_t cached = ::preadv2(fd, &piece, 1, static_cast<off_t>(at), RWF_NOWAIT);
        if (cached > 0) got = static_cast<std::size_t>(cached);
        const std::uint64_t fromDisk = at + got;
        while (got < want) {
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
        hash_.Update(std::string_view(buffer_.data(), got));
        if (fromDisk < at + got) {
            ::posix_fadvise(fd, static_cast<off_t>(fromDisk),
                            static_cast<off_t>(at + got - fromDisk), POSIX_FADV_DONTNEED);
        }
        result.bytes += got;
        at += got;
        if (betweenReads) betweenReads(file);
    }
    return true;
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
