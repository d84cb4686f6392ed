// A descriptor with exactly one owner: closed when its owner goes, handed on by moving, never
// copied. Every descriptor the program holds is held by one of these, so that no path that throws
// between an open and its close can leak one.
#pragma once

#include <unistd.h>

#include <utility>

namespace quorvale::runtime {

class UniqueFd {
  public:
    UniqueFd() noexcept = default;
    // Takes `fd` (a negative one: nothing held).
    explicit UniqueFd(int fd) noexcept : fd_(fd < 0 ? -1 : fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    // The descriptor, still owned here; -1 when none is held.
    int Get() const noexcept { return fd_; }
    bool Valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return Valid(); }

    // Gives up the descriptor without closing it: the caller owns it now.
    [[nodiscard]] int Release() noexcept { return std::exchange(fd_, -1); }

    // Closes what is held and takes `fd` instead. A close is never retried: on Linux the
    // descriptor is gone whatever close says, and a retry could close one opened meanwhile.
    void Reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd < 0 ? -1 : fd);
        if (old >= 0) ::close(old);
    }

  private:
    int fd_ = -1;
};

}  // namespace quorvale::runtime
