// Sizes as `ls -lh` and `du -h` print them: powers of 1024, one decimal below 10, rounded up.
#pragma once

#include <cstdint>
#include <string>

namespace quorvale::runtime {

// "0", "1023", "1.0K", "1.5K", "10K", "1.0M", ... "16E".
std::string HumanReadableSize(std::uint64_t bytes);

}  // namespace quorvale::runtime
