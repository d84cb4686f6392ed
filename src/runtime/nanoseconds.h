// Times as the program keeps them: nanoseconds since the epoch, in 64 bits (good to the year 2262).
#pragma once

#include <time.h>

#include <cstdint>

namespace quorvale::runtime {

inline std::int64_t Nanoseconds(const struct timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Now, by the system's clock (the one file times are stamped by).
inline std::int64_t NanosecondsNow() {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return Nanoseconds(now);
}

}  // namespace quorvale::runtime
