#include "listing/posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "runtime/open_file_limit.h"
#include "runtime/runtime_error.h"

namespace quorvale::listing {

using runtime::ErrorFromErrno;
using runtime::RuntimeError;

namespace {

constexpr int kOpenFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
constexpr std::size_t kReadBlock = 1 << 16;
// Enough for any depth a person meets; deeper trees reopen folders by name as they go.
constexpr std::size_t kMaxOpenFolders = 4096;

std::string JoinPath(const std::string& parent, std::string_view name) {
    std::string path;
    path.reserve(parent.size() + 1 + name.size());
    path = parent;
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    return path;
}

struct SubFolderEntry {
    std::string name;
    bool enter;  // false for a link to a folder: listed, never entered
};

class NameEnumeration final : public Enumeration {
  public:
    NameEnumeration(const std::vector<std::string>* names,
                    const std::vector<SubFolderEntry>* folders)
        : names_(names), folders_(folders) {}
    bool AtEnd() const override { return index_ >= Size(); }
    std::string_view Current() const override {
        if (AtEnd()) throw RuntimeError(runtime::InvalidProcedureCall, "No current entry");
        return names_ != nullptr ? (*names_)[index_] : (*folders_)[index_].name;
    }
    void Next() override {
        if (!AtEnd()) ++index_;
    }

  private:
    std::size_t Size() const { return names_ != nullptr ? names_->size() : folders_->size(); }

    const std::vector<std::string>* names_;
    const std::vector<SubFolderEntry>* folders_;
    std::size_t index_ = 0;
};

}  // namespace

class PosixFolder final : public Folder {
  public:
    // A folder that is listed but not entered (a link to a folder, or a loop back to an ancestor).
    static std::unique_ptr<PosixFolder> NotEntered(std::string path) {
        return std::unique_ptr<PosixFolder>(new PosixFolder(std::move(path)));
    }

    // A folder whose open failed for lack of permission: it has a path, and reading it fails.
    static std::unique_ptr<PosixFolder> Denied(std::string path, RuntimeError denied) {
        auto folder = std::unique_ptr<PosixFolder>(new PosixFolder(std::move(path)));
        folder->readError_ = std::move(denied);
        return folder;
    }

    // A folder opened as `fd`, whose handle it now owns; its entries are read at once. `name` is
    // its name under `parent`, or its full path when it has none.
    static std::unique_ptr<PosixFolder> Opened(PosixFileSystem* fs, PosixFolder* parent,
                                               std::string name, int fd, const struct stat& st) {
        auto folder = std::unique_ptr<PosixFolder>(new PosixFolder(std::move(name)));
        folder->fs_ = fs;
        folder->parent_ = parent;
        folder->fd_ = fd;
        folder->dev_ = st.st_dev;
        folder->ino_ = st.st_ino;
        fs->Register(folder.get());
        folder->ReadEntries();
        return folder;
    }

    ~PosixFolder() override {
        if (fs_ != nullptr) fs_->Unregister(this);
    }

    PosixFolder(const PosixFolder&) = delete;
    PosixFolder& operator=(const PosixFolder&) = delete;

    // Built from the names up the chain: only the folder line needs it, once per folder.
    std::string Path() const override {
        if (parent_ == nullptr) return name_;
        std::vector<const PosixFolder*> chain;
        std::size_t size = 0;
        for (const PosixFolder* f = this; f != nullptr; f = f->parent_) {
            chain.push_back(f);
            size += f->name_.size() + 1;
        }
        std::string path;
        path.reserve(size);
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            if (!path.empty() && path.back() != '/') path += '/';
            path += (*it)->name_;
        }
        return path;
    }

    std::unique_ptr<Enumeration> Files() override {
        ThrowReadError();
        return std::make_unique<NameEnumeration>(&files_, nullptr);
    }

    std::unique_ptr<Enumeration> SubFolders() override {
        ThrowReadError();
        return std::make_unique<NameEnumeration>(nullptr, &subfolders_);
    }

    std::unique_ptr<Folder> OpenSubFolder(std::string_view name) override {
        const auto it = std::lower_bound(
            subfolders_.begin(), subfolders_.end(), name,
            [](const SubFolderEntry& entry, std::string_view n) { return entry.name < n; });
        if (it == subfolders_.end() || it->name != name) {
            throw RuntimeError(runtime::InvalidProcedureCall,
                               "No subfolder \"" + std::string(name) + "\" in " + Path());
        }
        if (!it->enter) return NotEntered(JoinPath(Path(), name));
        fs_->EnsureOpen(this);
        const int fd = fs_->OpenAt(this, it->name.c_str());
        if (fd < 0) {
            const int err = errno;
            RuntimeError error = ErrorFromErrno(err, "Cannot open folder", JoinPath(Path(), name));
            if (error.Number() == runtime::PermissionDenied) {
                return Denied(JoinPath(Path(), name), std::move(error));
            }
            throw error;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            const int err = errno;
            ::close(fd);
            throw ErrorFromErrno(err, "Cannot read folder", JoinPath(Path(), name));
        }
        if (IsAncestorOrSelf(st)) {
            ::close(fd);
            return NotEntered(JoinPath(Path(), name));
        }
        return Opened(fs_, this, it->name, fd, st);
    }

  private:
    friend class PosixFileSystem;

    explicit PosixFolder(std::string name) : name_(std::move(name)) {}

    void ThrowReadError() const {
        if (readError_) throw *readError_;
    }

    bool IsAncestorOrSelf(const struct stat& st) const {
        for (const PosixFolder* f = this; f != nullptr; f = f->parent_) {
            if (f->dev_ == st.st_dev && f->ino_ == st.st_ino) return true;
        }
        return false;
    }

    // Reads every entry once. A failure is kept and reported when the entries are asked for, so
    // that the folder is still listed by its path.
    void ReadEntries() {
        std::vector<char>& block = fs_->readBlock_;
        block.resize(kReadBlock);
        for (;;) {
            const ssize_t n = ::getdents64(fd_, block.data(), block.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                readError_ = ErrorFromErrno(errno, "Cannot read folder", Path());
                files_.clear();
                subfolders_.clear();
                return;
            }
            if (n == 0) break;
            for (ssize_t off = 0; off < n;) {
                const auto* d = reinterpret_cast<const struct dirent64*>(block.data() + off);
                off += d->d_reclen;
                AddEntry(d->d_name, d->d_type);
            }
        }
        std::sort(files_.begin(), files_.end());
        std::sort(subfolders_.begin(), subfolders_.end(),
                  [](const SubFolderEntry& a, const SubFolderEntry& b) { return a.name < b.name; });
    }

    void AddEntry(const char* name, unsigned char type) {
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) return;
        if (type == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(fd_, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
            } else {
                type = DT_REG;  // vanished or unreadable: listed as what it most likely was
            }
        }
        if (type == DT_DIR) {
            subfolders_.push_back({name, true});
        } else if (type == DT_LNK && LinksToFolder(name)) {
            subfolders_.push_back({name, false});
        } else {
            files_.emplace_back(name);
        }
    }

    bool LinksToFolder(const char* name) const {
        struct stat st {};
        return ::fstatat(fd_, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }

    PosixFileSystem* fs_ = nullptr;
    PosixFolder* parent_ = nullptr;
    std::string name_;  // the name under parent_; the full path when there is no parent
    std::size_t depth_ = 0;
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    std::optional<RuntimeError> readError_;
    std::vector<std::string> files_;
    std::vector<SubFolderEntry> subfolders_;
};

std::string AbsoluteFolderPath(const std::string& path) {
    std::string joined = path;
    if (!joined.empty() && joined.front() != '/') {
        std::string cwd(4096, '\0');
        while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
            if (errno != ERANGE) throw ErrorFromErrno(errno, "Cannot find the folder of", path);
            cwd.resize(cwd.size() * 2);
        }
        cwd.resize(std::strlen(cwd.c_str()));
        joined = JoinPath(cwd, path);
    }
    // Drop empty and "." components; ".." stays, since a link may stand before it.
    std::string result;
    std::size_t start = 0;
    while (start <= joined.size()) {
        std::size_t end = joined.find('/', start);
        if (end == std::string::npos) end = joined.size();
        const std::string_view part(joined.data() + start, end - start);
        if (!part.empty() && part != ".") {
            result += '/';
            result += part;
        }
        start = end + 1;
    }
    return result.empty() ? "/" : result;
}

PosixFileSystem::PosixFileSystem(std::size_t maxOpenFolders) : maxOpen_(maxOpenFolders) {
    if (maxOpen_ == 0) {
        // Half the limit for folders; the rest stays free for list files, the window and Qt.
        maxOpen_ = std::clamp<std::size_t>(runtime::OpenFileLimit() / 2, 4, kMaxOpenFolders);
    }
    maxOpen_ = std::max<std::size_t>(maxOpen_, 2);
}

std::unique_ptr<Folder> PosixFileSystem::GetFolder(const std::string& path) {
    if (path.empty()) {
        throw RuntimeError(runtime::PathNotFound, "Cannot open folder \"\": no folder was given");
    }
    std::string full = AbsoluteFolderPath(path);
    // The starting folder may itself be a link: the user chose it, so it is followed.
    const int fd = OpenAt(nullptr, full.c_str());
    if (fd < 0) {
        RuntimeError error = ErrorFromErrno(errno, "Cannot open folder", full);
        if (error.Number() != runtime::PermissionDenied) throw error;
        struct stat st {};
        if (::stat(full.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw error;
        return PosixFolder::Denied(std::move(full), std::move(error));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        throw ErrorFromErrno(err, "Cannot read folder", full);
    }
    return PosixFolder::Opened(this, nullptr, std::move(full), fd, st);
}

// Adds a newly opened folder at the end of the chain.
void PosixFileSystem::Register(PosixFolder* folder) {
    // A folder's previous sibling is gone before it is opened: the chain ends at its parent.
    while (!chain_.empty() && chain_.back() != folder->parent_) Unregister(chain_.back());
    folder->depth_ = chain_.size();
    chain_.push_back(folder);
    ++open_;
    KeepWithinBudget(folder);
}

// Takes a folder that is going away off the chain, and closes its handle.
void PosixFileSystem::Unregister(PosixFolder* folder) {
    if (folder->depth_ >= chain_.size() || chain_[folder->depth_] != folder) return;
    chain_.resize(folder->depth_);
    firstMaybeOpen_ = std::min(firstMaybeOpen_, chain_.size());
    if (folder->fd_ >= 0) {
        ::close(folder->fd_);
        folder->fd_ = -1;
        --open_;
    }
}

// Gives `folder` its handle back if it was closed, reopening every closed folder between it and
// the nearest one that still holds its handle.
void PosixFileSystem::EnsureOpen(PosixFolder* folder) {
    if (folder->fd_ >= 0) return;
    std::size_t top = folder->depth_;
    while (top > 0 && chain_[top - 1]->fd_ < 0) --top;
    for (std::size_t depth = top; depth <= folder->depth_; ++depth) Reopen(chain_[depth]);
}

// Reopens one folder by its name under its (open) parent, or by its path at the top, and checks
// that it is still the folder that was read.
void PosixFileSystem::Reopen(PosixFolder* folder) {
    const int fd = OpenAt(folder->parent_, folder->name_.c_str());
    if (fd < 0) {
        const std::string reason = runtime::SystemReason(errno);
        throw RuntimeError(runtime::PathFileAccessError, "Cannot return to folder \"" +
                                                             folder->Path() + "\": " + reason +
                                                             " (moved or removed during the walk)");
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_dev != folder->dev_ || st.st_ino != folder->ino_) {
        ::close(fd);
        throw RuntimeError(runtime::PathFileAccessError,
                           "Cannot return to folder \"" + folder->Path() +
                               "\": it was moved or replaced during the walk");
    }
    folder->fd_ = fd;
    ++open_;
    firstMaybeOpen_ = std::min(firstMaybeOpen_, folder->depth_);
    KeepWithinBudget(folder);
}

// Opens `name` as a folder under `parent` (by path when there is none). When the process is out of
// handles, the shallowest held ones are closed until the open succeeds or none is left to close.
int PosixFileSystem::OpenAt(PosixFolder* parent, const char* name) {
    for (;;) {
        const int fd = parent != nullptr
                           ? ::openat(parent->fd_, name, kOpenFolderFlags | O_NOFOLLOW)
                           : ::open(name, kOpenFolderFlags);
        if (fd >= 0 || (errno != EMFILE && errno != ENFILE)) return fd;
        const int err = errno;
        if (!CloseShallowest(parent)) {
            errno = err;
            return -1;
        }
        maxOpen_ = std::max<std::size_t>(open_, 2);  // the process holds less than was thought
    }
}

void PosixFileSystem::KeepWithinBudget(const PosixFolder* keep) {
    while (open_ > maxOpen_ && CloseShallowest(keep)) {
    }
}

// Closes the handle of the shallowest folder that holds one, other than `keep`; false if none.
bool PosixFileSystem::CloseShallowest(const PosixFolder* keep) {
    for (std::size_t i = firstMaybeOpen_; i < chain_.size(); ++i) {
        PosixFolder* folder = chain_[i];
        if (folder->fd_ < 0) {
            if (i == firstMaybeOpen_) ++firstMaybeOpen_;
            continue;
        }
        if (folder == keep) continue;
        ::close(folder->fd_);
        folder->fd_ = -1;
        --open_;
        return true;
    }
    return false;
}

}  // namespace quorvale::listing
