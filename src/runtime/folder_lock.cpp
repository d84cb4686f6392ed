#include "runtime/folder_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "runtime/runtime_error.h"

namespace quorvale::runtime {

FolderLock::FolderLock(const std::string& folder) : path_(folder) {
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0 && errno == EACCES) {
        // Writable but not readable (say 0733): neither the lock nor the removal of what a
        // killed Save left there can work without reading it.
        throw RuntimeError(PermissionDenied,
                           "Cannot use the list files' folder \"" + folder +
                               "\": it may not be read (Quorvale reads it to lock it and to "
                               "remove what an interrupted Save left there)");
    }
    if (fd_ < 0) throw ErrorFromErrno(errno, "Cannot open the list files' folder", folder);
    struct stat st {};
    if (::fstat(fd_, &st) == 0) {
        device_ = st.st_dev;
        inode_ = st.st_ino;
    }
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        ::close(fd_);
        fd_ = -1;
        if (err == EWOULDBLOCK) {
            throw RuntimeError(FileAlreadyOpen, "Another Quorvale is saving list files in \"" +
                                                    folder +
                                                    "\" right now; try again when it has "
                                                    "finished");
        }
        throw ErrorFromErrno(err, "Cannot lock the list files' folder", folder);
    }
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the last handle releases the lock
}

void FolderLock::RemoveLeftovers(const std::function<bool(std::string_view name)>& isLeftover) {
    const int fd = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return;
    }
    std::vector<std::string> leftovers;
    while (const dirent* entry = ::readdir(dir)) {
        if (isLeftover(entry->d_name)) leftovers.emplace_back(entry->d_name);
    }
    for (const std::string& name : leftovers) ::unlinkat(fd_, name.c_str(), 0);
    ::closedir(dir);
}

}  // namespace quorvale::runtime
