// Sizes as people read them: as `ls -lh` and `du -h` print them (powers of 1024, one decimal
// below 10, rounded up), and as drives are sold (powers of 1000).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvale::runtime {

// "0", "1023", "1.0K", "1.5K", "10K", "1.0M", ... "16E".
std::string HumanReadableSize(std::uint64_t bytes);

// The unit a size typed as `find -size` and `du` take it ends with (k or K, M, G, T: powers of
// 1024), taken off `text`; 1 where it ends with none.
std::uint64_t TakeSizeUnit(std::string_view& text);

// "512 B", "1.5 kB", "931.5 GB": one decimal from kB on.
std::string DecimalSize(std::uint64_t bytes);

}  // namespace quorvale::runtime
