#include "runtime/text_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/runtime_error.h"

namespace quorvale::runtime {

namespace {

constexpr std::size_t kOutputBlock = 1 << 16;

}  // namespace

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

// Writes every pending byte; a write that takes only part of them is followed by another.
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
