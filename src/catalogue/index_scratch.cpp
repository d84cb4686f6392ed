#include "catalogue/index_scratch.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "runtime/read_at.h"
#include "runtime/runtime_error.h"

namespace quorvale::catalogue {

namespace {

[[noreturn]] void ScratchFailed(int err) {
    throw runtime::RuntimeError(
        runtime::ErrorNumberFromErrno(err),
        "Cannot write the index: its scratch file: " + runtime::SystemReason(err));
}

void WriteAt(int fd, std::uint64_t at, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ScratchFailed(n < 0 ? errno : ENOSPC);
        bytes.remove_prefix(static_cast<std::size_t>(n));
        at += static_cast<std::uint64_t>(n);
    }
}

}  // namespace

std::uint64_t ScratchFile::Append(std::string_view bytes) {
    const std::uint64_t at = end_;
    end_ += bytes.size();
    if (pending_.size() + bytes.size() > pendingBytes_) Flush();
    if (bytes.size() < pendingBytes_) {
        pending_ += bytes;
    } else {
        WriteAt(fd_, at, bytes);
        written_ = end_;
    }
    return at;
}

void ScratchFile::Flush() {
    WriteAt(fd_, written_, pending_);
    written_ += pending_.size();
    pending_.clear();
}

void ScratchFile::Read(std::uint64_t at, std::size_t size, std::string& out) const {
    out.resize(size);
    if (const int err = runtime::ReadAt(fd_, at, out.data(), size); err != 0) ScratchFailed(err);
}

SpilledRun::SpilledRun(const ScratchFile& file, std::uint64_t at, std::uint64_t bytes,
                       std::size_t window)
    : file_(&file), at_(at), left_(bytes), windowBytes_(window) {
    Next();
}

void SpilledRun::Take(std::string& out) {
    Consume(length_, &out);
    Next();
}

void SpilledRun::Next() {
    atEnd_ = left_ == 0 && used_ == window_.size();
    if (atEnd_) return;
    header_.clear();
    Consume(8, &header_);
    std::memcpy(&trigram_, header_.data(), 4);
    std::memcpy(&length_, header_.data() + 4, 4);
}

void SpilledRun::Consume(std::size_t bytes, std::string* out) {
    while (bytes > 0) {
        if (used_ == window_.size()) {
            if (left_ == 0) ScratchFailed(EIO);  // a run never ends inside a list
            const auto size =
                static_cast<std::size_t>(std::min<std::uint64_t>(left_, windowBytes_));
            file_->Read(at_, size, window_);
            at_ += size;
            left_ -= size;
            used_ = 0;
        }
        const std::size_t taken = std::min(bytes, window_.size() - used_);
        out->append(window_, used_, taken);
        used_ += taken;
        bytes -= taken;
    }
}

}  // namespace quorvale::catalogue
