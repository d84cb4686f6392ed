#include "runtime/human_size.h"

#include <cmath>
#include <cstdio>
#include <iterator>

namespace quorvale::runtime {

std::string HumanReadableSize(std::uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes);
    static constexpr char kUnits[] = {'K', 'M', 'G', 'T', 'P', 'E'};
    double size = static_cast<double>(bytes) / 1024;
    std::size_t unit = 0;
    while (size >= 1024 && unit + 1 < std::size(kUnits)) {
        size /= 1024;
        ++unit;
    }
    // Rounded up, as du rounds: a size is never shown smaller than it is.
    double shown = size < 10 ? std::ceil(size * 10) / 10 : std::ceil(size);
    if (shown >= 1024 && unit + 1 < std::size(kUnits)) {
        shown = 1.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, shown < 10 ? "%.1f%c" : "%.0f%c", shown, kUnits[unit]);
    return text;
}

std::uint64_t TakeSizeUnit(std::string_view& text) {
    static constexpr std::string_view kUnits = "kMGT";
    if (text.empty()) return 1;
    const char last = text.back() == 'K' ? 'k' : text.back();
    const std::size_t unit = kUnits.find(last);
    if (unit == std::string_view::npos) return 1;
    text.remove_suffix(1);
    return std::uint64_t{1} << (10 * (unit + 1));
}

std::string DecimalSize(std::uint64_t bytes) {
    static constexpr const char* kUnits[] = {"B", "kB", "MB", "GB", "TB", "PB", "EB"};
    double size = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (size >= 1000 && unit + 1 < std::size(kUnits)) {
        size /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", size, kUnits[unit]);
    return text;
}

}  // namespace quorvale::runtime
