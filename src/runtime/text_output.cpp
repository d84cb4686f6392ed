#include "runtime/text_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "runtime/runtime_error.h"

namespace quorvale::runtime {

namespace {

constexpr std::size_t kOutputBlock = 1 << 16;
constexpr int kTempAttempts = 100;

std::string RandomSuffix() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    static constexpr char kChars[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string suffix(6, 'x');
    for (char& c : suffix) c = kChars[random() % (sizeof kChars - 1)];
    return suffix;
}

}  // namespace

int OutputSystemCalls::FstatAt(int folder, const char* name, struct stat* st, int flags) {
    return ::fstatat(folder, name, st, flags);
}
int OutputSystemCalls::FdataSync(int fd) {
    return ::fdatasync(fd);
}
int OutputSystemCalls::RenameAt(int folder, const char* from, const char* to) {
    return ::renameat(folder, from, folder, to);
}
int OutputSystemCalls::FolderSync(int folder) {
    return ::fsync(folder);
}
int OutputSystemCalls::UnlinkAt(int folder, const char* name) {
    return ::unlinkat(folder, name, 0);
}
OutputSystemCalls& OutputSystemCalls::Real() {
    static OutputSystemCalls real;
    return real;
}

FileTextOutput::FileTextOutput(int folder, std::string name, std::string path,
                               Durability durability, OutputSystemCalls& calls)
    : path_(std::move(path)), name_(std::move(name)), durability_(durability), calls_(calls) {
    // A handle of its own, so that the commit may outlive whoever gave it the folder's.
    folderFd_.Reset(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!folderFd_) Fail(errno, "Cannot open file");
    try {
        CheckReplaceable();
        CreateTemporary();
    } catch (...) {
        Abandon();
        throw;
    }
    pending_.reserve(kOutputBlock + 512);
}

FileTextOutput::~FileTextOutput() {
    Abandon();
}

// Only a regular file or a link may stand where the file goes (the rename replaces a link
// itself, never its target), and a file the user made read-only is kept.
void FileTextOutput::CheckReplaceable() const {
    struct stat st {};
    if (calls_.FstatAt(folderFd_.Get(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return;
        throw ErrorFromErrno(errno, "Cannot open file", path_);
    }
    if (S_ISLNK(st.st_mode)) return;
    if (!S_ISREG(st.st_mode)) {
        throw RuntimeError(PathFileAccessError, "Cannot write file \"" + path_ +
                                                    "\": that name is taken by something that "
                                                    "is not a regular file");
    }
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        throw RuntimeError(PermissionDenied,
                           "Cannot write file \"" + path_ + "\": the file is read-only");
    }
    if (::faccessat(folderFd_.Get(), name_.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == EACCES) {
        throw ErrorFromErrno(EACCES, "Cannot write file", path_);
    }
}

void FileTextOutput::CreateTemporary() {
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        std::string name = "." + name_;
        name += kTempMarker;
        name += RandomSuffix();
        // O_NOFOLLOW with O_EXCL: a name that exists in any form, a link included, is not used.
        fd_.Reset(::openat(folderFd_.Get(), name.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644));
        if (fd_) {
            tempName_ = std::move(name);
            return;
        }
        if (errno != EEXIST) throw ErrorFromErrno(errno, "Cannot open file", path_);
    }
    throw RuntimeError(PathFileAccessError,
                       "Cannot open file \"" + path_ + "\": no free temporary name");
}

void FileTextOutput::PrintLine(std::string_view line) {
    if (!fd_) throw RuntimeError(InvalidProcedureCall, "File \"" + path_ + "\" is not open");
    pending_.append(line);
    pending_.append("\r\n");
    if (pending_.size() >= kOutputBlock) FlushBuffer();
}

void FileTextOutput::PrintBytes(std::string_view bytes) {
    if (!fd_) throw RuntimeError(InvalidProcedureCall, "File \"" + path_ + "\" is not open");
    if (pending_.size() + bytes.size() < kOutputBlock) {
        pending_.append(bytes);
        return;
    }
    // Many bytes at once are written as they are, never copied into the buffer first.
    FlushBuffer();
    WriteAll(bytes);
}

// Writes every pending byte.
void FileTextOutput::FlushBuffer() {
    WriteAll(pending_);
    pending_.clear();
}

// A write that takes only part of `bytes` is followed by another.
void FileTextOutput::WriteAll(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_.Get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail(errno, "Cannot write file");
        }
        done += static_cast<std::size_t>(n);
    }
}

void FileTextOutput::FinishWriting() {
    if (fd_) FlushBuffer();
}

void FileTextOutput::Close() {
    if (!fd_) return;
    FlushBuffer();
    if (durability_ == Durability::kSynced && calls_.FdataSync(fd_.Get()) != 0) {
        Fail(errno, "Cannot write file");
    }
    // Closed here rather than by its owner: what close says (a write that failed late on a
    // network file system) is a failure of the file.
    if (::close(fd_.Release()) != 0 && errno != EINTR) Fail(errno, "Cannot write file");
    if (calls_.RenameAt(folderFd_.Get(), tempName_.c_str(), name_.c_str()) != 0) {
        Fail(errno, "Cannot put file in place:");
    }
    tempName_.clear();
    // The rename itself reaches the disk with the folder. The file is in place by now and stays;
    // a folder that cannot be synced at all (EINVAL) is no failure.
    if (durability_ == Durability::kSynced && calls_.FolderSync(folderFd_.Get()) != 0 &&
        errno != EINVAL) {
        Fail(errno, "Cannot make durable the renaming of file");
    }
    folderFd_.Reset();
}

void FileTextOutput::Fail(int err, std::string_view action) {
    const RuntimeError error = ErrorFromErrno(err, action, path_);
    Abandon();
    throw error;
}

void FileTextOutput::Abandon() noexcept {
    fd_.Reset();
    if (!tempName_.empty() && folderFd_) calls_.UnlinkAt(folderFd_.Get(), tempName_.c_str());
    tempName_.clear();
    folderFd_.Reset();
    pending_.clear();
}

}  // namespace quorvale::runtime
