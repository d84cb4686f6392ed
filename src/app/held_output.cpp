#include "app/held_output.h"

#include <sys/mman.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>

#include "app/standard_streams.h"
#include "runtime/runtime_error.h"

namespace quorvale::app {

namespace {

constexpr std::size_t kOutputBlock = 1 << 16;
constexpr int kHeldOutputLost = 2;

}  // namespace

HeldOutput::HeldOutput(const char* name) : fd_(::memfd_create(name, MFD_CLOEXEC)) {
    if (!fd_) {
        const int err = errno;
        throw runtime::ErrorFromErrno(err, "Cannot hold the output", "memfd");
    }
}

void HeldOutput::Line(std::string_view line, char end) {
    pending_.append(line);
    pending_ += end;
    if (pending_.size() >= kOutputBlock) Flush();
}

void HeldOutput::Flush() {
    if (const int err = WriteAll(fd_.Get(), pending_); err != 0) {
        throw runtime::ErrorFromErrno(err, "Cannot hold the output", "memfd");
    }
    pending_.clear();
}

void HeldOutput::Clear() {
    pending_.clear();
    if (::ftruncate(fd_.Get(), 0) != 0 || ::lseek(fd_.Get(), 0, SEEK_SET) != 0) {
        throw runtime::ErrorFromErrno(errno, "Cannot hold the output", "memfd");
    }
}

int HeldOutput::Print() {
    Flush();
    // Straight from the anonymous file to stdout where the kernel can (a pipe or a file), else
    // through a block here.
    off_t sent = 0;
    const off_t held = ::lseek(fd_.Get(), 0, SEEK_END);
    while (held > 0 && sent < held) {
        const ssize_t n =
            ::sendfile(STDOUT_FILENO, fd_.Get(), &sent, static_cast<std::size_t>(held - sent));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
    }
    if (held > 0 && sent == held) {
        Clear();
        return 0;
    }
    if (::lseek(fd_.Get(), sent, SEEK_SET) != sent) return kHeldOutputLost;
    std::string block(kOutputBlock, '\0');
    for (;;) {
        const ssize_t n = ::read(fd_.Get(), block.data(), block.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return kHeldOutputLost;
        if (n == 0) break;
        if (const int status = WriteOutput(std::string_view(block.data(), n)); status != 0) {
            return status;
        }
    }
    Clear();
    return 0;
}

}  // namespace quorvale::app
