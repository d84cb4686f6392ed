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

#include "runtime/runtime_error.h"

namespace quorvale::listing {

using runtime::ErrorFromErrno;
using runtime::RuntimeError;

namespace {

constexpr int kOpenFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
constexpr std::size_t kReadBlock = 1 << 16;

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

    // A folder opened as `fd`, whose handle it now owns; its entries are read at once.
    static std::unique_ptr<PosixFolder> Opened(PosixFileSystem* fs, PosixFolder* parent,
                                               std::string path, int fd, const struct stat& st) {
        auto folder = std::unique_ptr<PosixFolder>(new PosixFolder(std::move(path)));
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
        CloseHandle();
    }

    PosixFolder(const PosixFolder&) = delete;
    PosixFolder& operator=(const PosixFolder&) = delete;

    std::string Path() const override { return path_; }

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
                               "No subfolder \"" + std::string(name) + "\" in " + path_);
        }
        const SubFolderEntry& entry = *it;
        std::string path = JoinPath(path_, entry.name);
        if (!entry.enter) return NotEntered(std::move(path));
        if (fd_ < 0) {
            throw RuntimeError(runtime::PathFileAccessError,
                               "Cannot open \"" + path + "\": its parent folder was moved or " +
                                   "removed during the walk");
        }
        const int fd = ::openat(fd_, entry.name.c_str(), kOpenFolderFlags | O_NOFOLLOW);
        if (fd < 0) {
            const int err = errno;
            RuntimeError error = ErrorFromErrno(err, "Cannot open folder", path);
            if (error.Number() == runtime::PermissionDenied) {
                return Denied(std::move(path), std::move(error));
            }
            throw error;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            const int err = errno;
            ::close(fd);
            throw ErrorFromErrno(err, "Cannot read folder", path);
        }
        if (IsAncestorOrSelf(st)) {
            ::close(fd);
            return NotEntered(std::move(path));
        }
        return Opened(fs_, this, std::move(path), fd, st);
    }

  private:
    friend class PosixFileSystem;

    explicit PosixFolder(std::string path) : path_(std::move(path)) {}

    void ThrowReadError() const {
        if (readError_) throw *readError_;
    }

    bool IsAncestorOrSelf(const struct stat& st) const {
        for (const PosixFolder* f = this; f != nullptr; f = f->parent_) {
            if (f->dev_ == st.st_dev && f->ino_ == st.st_ino) return true;
        }
        return false;
    }

    void CloseHandle() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
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
                readError_ = ErrorFromErrno(errno, "Cannot read folder", path_);
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
    std::string path_;
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

std::unique_ptr<Folder> PosixFileSystem::GetFolder(const std::string& path) {
    if (path.empty()) {
        throw RuntimeError(runtime::PathNotFound, "Cannot open folder \"\": no folder was given");
    }
    std::string full = AbsoluteFolderPath(path);
    // The starting folder may itself be a link: the user chose it, so it is followed.
    const int fd = ::open(full.c_str(), kOpenFolderFlags);
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

void PosixFileSystem::Register(PosixFolder* folder) {
    live_.push_back(folder);
    while (live_.size() - firstOpen_ > kMaxOpenFolders) {
        live_[firstOpen_]->CloseHandle();
        ++firstOpen_;
    }
}

void PosixFileSystem::Unregister(PosixFolder* folder) {
    const auto it = std::find(live_.rbegin(), live_.rend(), folder);
    if (it == live_.rend()) return;
    const auto index = static_cast<std::size_t>(live_.rend() - it) - 1;
    const bool wasTop = index + 1 == live_.size();
    live_.erase(live_.begin() + static_cast<std::ptrdiff_t>(index));
    if (index < firstOpen_) --firstOpen_;
    if (!wasTop || live_.empty() || firstOpen_ < live_.size()) return;

    // The walk is returning to a folder whose handle was closed: take it back through "..",
    // provided that still leads to the same folder.
    PosixFolder* parent = live_.back();
    if (folder->fd_ < 0 || parent != folder->parent_) return;
    const int fd = ::openat(folder->fd_, "..", kOpenFolderFlags | O_NOFOLLOW);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_dev != parent->dev_ || st.st_ino != parent->ino_) {
        ::close(fd);
        return;
    }
    parent->fd_ = fd;
    firstOpen_ = live_.size() - 1;
}

}  // namespace quorvale::listing
