#include "runtime/runtime_services.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <limits>

namespace quorvale::runtime {

namespace {

constexpr std::size_t kOutputBlock = 1 << 16;

std::string SystemReason(int err) {
    char buffer[256];
    // The GNU strerror_r returns the message, which may or may not live in `buffer`.
    return std::string(strerror_r(err, buffer, sizeof buffer));
}

}  // namespace

int ErrorNumberFromErrno(int err) noexcept {
    switch (err) {
        case EACCES:
        case EPERM:
            return PermissionDenied;
        case ENOENT:
        case ENOTDIR:
            return PathNotFound;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return DiskFull;
        case EIO:
            return DeviceIOError;
        case EMFILE:
        case ENFILE:
            return TooManyFiles;
        case ENOMEM:
            return OutOfMemory;
        default:
            return PathFileAccessError;
    }
}

RuntimeError ErrorFromErrno(int err, std::string_view action, std::string_view path) {
    std::string message(action);
    message += " \"";
    message += path;
    message += "\": ";
    message += SystemReason(err);
    return RuntimeError(ErrorNumberFromErrno(err), message);
}

std::int16_t CheckedAdd16(std::int16_t a, std::int16_t b) {
    const int sum = int{a} + int{b};
    if (sum > std::numeric_limits<std::int16_t>::max() ||
        sum < std::numeric_limits<std::int16_t>::min()) {
        throw RuntimeError(Overflow, "Overflow: " + std::to_string(a) + " + " + std::to_string(b) +
                                         " does not fit in 16 bits");
    }
    return static_cast<std::int16_t>(sum);
}

std::string SystemRuntimeServices::ProgramFolder() {
    std::string exe(4096, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size());
        if (n < 0)
            throw ErrorFromErrno(errno, "Cannot find the program's folder from", "/proc/self/exe");
        if (static_cast<std::size_t>(n) < exe.size()) {
            exe.resize(static_cast<std::size_t>(n));
            break;
        }
        exe.resize(exe.size() * 2);
    }
    const auto slash = exe.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return exe.substr(0, slash);
}

std::unique_ptr<TextOutput> SystemRuntimeServices::OpenForOutput(const std::string& path) {
    return std::make_unique<FileTextOutput>(path);
}

void SystemRuntimeServices::RemoveFile(const std::string& path) {
    ::unlink(path.c_str());
}

FileTextOutput::FileTextOutput(const std::string& path) : path_(path) {
    // O_NONBLOCK: should the name be a fifo, the open fails or returns at once instead of hanging.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                 0644);
    if (fd_ < 0) throw ErrorFromErrno(errno, "Cannot open list file", path);
    pending_.reserve(kOutputBlock + 512);
}

FileTextOutput::~FileTextOutput() {
    Abandon();
}

void FileTextOutput::PrintLine(std::string_view line) {
    if (fd_ < 0)
        throw RuntimeError(InvalidProcedureCall, "List file \"" + path_ + "\" is not open");
    pending_.append(line);
    pending_.append("\r\n");
    if (pending_.size() >= kOutputBlock) FlushBuffer();
}

void FileTextOutput::FlushBuffer() {
    std::size_t done = 0;
    while (done < pending_.size()) {
        const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            Abandon();
            throw ErrorFromErrno(err, "Cannot write list file", path_);
        }
        done += static_cast<std::size_t>(n);
    }
    pending_.clear();
}

void FileTextOutput::Close() {
    if (fd_ < 0) return;
    FlushBuffer();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        throw ErrorFromErrno(errno, "Cannot close list file", path_);
    }
}

void FileTextOutput::Abandon() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pending_.clear();
}

}  // namespace quorvale::runtime
