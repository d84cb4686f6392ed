#include "runtime/folder_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "runtime/path_join.h"
#include "runtime/runtime_error.h"

namespace quorvale::runtime {

FolderLock::FolderLock(const std::string& folder) : path_(folder) {
    fd_.Reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd_ && errno == EACCES) {
        // Writable but not readable (say 0733): neither the lock nor the removal of what a
        // killed Save left there can work without reading it.
        throw RuntimeError(PermissionDenied,
                           "Cannot use the list files' folder \"" + folder +
                               "\": it may not be read (Quorvale reads it to lock it and to "
                               "remove what an interrupted Save left there)");
    }
    if (!fd_) {
        const int err = errno;
        throw ErrorFromErrno(err, "Cannot open the list files' folder", folder);
    }
    struct stat st {};
    if (::fstat(fd_.Get(), &st) == 0) {
        device_ = st.st_dev;
        inode_ = st.st_ino;
    }
    while (::flock(fd_.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        fd_.Reset();
        if (err == EWOULDBLOCK) {
            throw RuntimeError(FileAlreadyOpen, "Another Quorvale is saving list files in \"" +
                                                    folder +
                                                    "\" right now; try again when it has "
                                                    "finished");
        }
        throw ErrorFromErrno(err, "Cannot lock the list files' folder", folder);
    }
}

// Closing the last handle (fd_, with the lock) releases the lock.
FolderLock::~FolderLock() = default;

std::vector<std::string> FolderLock::EntryNames() const {
    std::vector<std::string> names;
    UniqueFd fd(::openat(fd_.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return names;
    DIR* dir = ::fdopendir(fd.Get());
    if (dir == nullptr) return names;
    (void)fd.Release();  // the stream owns it now, closed with it
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(dir);
    return names;
}

void FolderLock::RemoveLeftovers(const std::function<bool(std::string_view name)>& isLeftover) {
    for (const std::string& name : EntryNames()) {
        if (isLeftover(name)) ::unlinkat(fd_.Get(), name.c_str(), 0);
    }
}

void FolderLock::MoveAside(const std::string& name, const std::string& to) {
    if (::renameat(fd_.Get(), name.c_str(), fd_.Get(), to.c_str()) == 0 || errno == ENOENT) return;
    throw ErrorFromErrno(errno, "Cannot move aside", JoinedPath(name));
}

UniqueFd FolderLock::OpenScratchFile() const {
    return UniqueFd(::openat(fd_.Get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
}

std::string FolderLock::JoinedPath(const std::string& name) const {
    return JoinPath(path_, name);
}

}  // namespace quorvale::runtime
