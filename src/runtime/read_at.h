// Reading a given range of a file by its handle, whatever the file's position and whatever
// signal interrupts the read.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace quorvale::runtime {

// Reads `count` bytes at `at` of the file open as `fd` into `into`: 0, or the errno of the read
// that failed (EIO when the file ends first).
inline int ReadAt(int fd, std::uint64_t at, char* into, std::size_t count) {
    for (std::size_t done = 0; done < count;) {
        const ssize_t n = ::pread(fd, into + done, count - done, static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace quorvale::runtime
