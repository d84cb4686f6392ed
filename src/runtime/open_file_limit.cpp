#include "runtime/open_file_limit.h"

#include <sys/resource.h>

namespace quorvale::runtime {

namespace {

constexpr std::size_t kUnknownLimit = 1024;

}  // namespace

std::size_t RaiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    return OpenFileLimit();
}

std::size_t OpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return kUnknownLimit;
    return limit.rlim_cur == RLIM_INFINITY ? static_cast<std::size_t>(-1)
                                           : static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace quorvale::runtime
