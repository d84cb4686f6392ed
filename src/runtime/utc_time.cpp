#include "runtime/utc_time.h"

#include <climits>
#include <cstdint>
#include <ctime>

namespace quorvale::runtime {

void AppendUtcTime(std::string& out, std::int64_t seconds) {
    constexpr std::int64_t kDay = 24 * 60 * 60;
    thread_local std::int64_t lastDay = INT64_MIN;
    thread_local char date[32];  // "YYYY-MM-DDT" of lastDay
    const std::int64_t day = seconds / kDay - (seconds % kDay < 0 ? 1 : 0);
    if (day != lastDay) {
        const std::time_t start = static_cast<std::time_t>(day * kDay);
        std::tm utc{};
        ::gmtime_r(&start, &utc);
        std::strftime(date, sizeof date, "%Y-%m-%dT", &utc);
        lastDay = day;
    }
    const std::int64_t second = seconds - day * kDay;
    const auto two = [&out](std::int64_t value) {
        out += static_cast<char>('0' + value / 10);
        out += static_cast<char>('0' + value % 10);
    };
    out += date;
    two(second / 3600);
    out += ':';
    two(second / 60 % 60);
    out += ':';
    two(second % 60);
    out += 'Z';
}

std::string UtcTime(std::int64_t seconds) {
    std::string text;
    AppendUtcTime(text, seconds);
    return text;
}

}  // namespace quorvale::runtime
