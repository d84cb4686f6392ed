#include "runtime/utc_time.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace quorvale::runtime {

namespace {

constexpr std::int64_t kDay = 24 * 60 * 60;

// The proleptic Gregorian date of `days` since 1970-01-01, for every day an int64_t of seconds
// can reach (after H. Hinnant's days_from_civil, inverted): no overflow, no table, no gmtime.
struct Date {
    std::int64_t year;
    int month;
    int day;
};
Date DateOf(std::int64_t days) {
    const std::int64_t z = days + 719468;  // from 0000-03-01
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t dayOfEra = z - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // 0 = March
    const int day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    const int month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// "YYYY-MM-DDT"; a year outside 0000-9999 with its sign and as many digits as it needs.
std::string DateText(std::int64_t days) {
    const Date date = DateOf(days);
    std::string digits = std::to_string(date.year < 0 ? -date.year : date.year);
    if (digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
    std::string text;
    if (date.year < 0) {
        text += '-';
    } else if (date.year > 9999) {
        text += '+';
    }
    text += digits;
    const auto two = [&text](int value) {
        text += static_cast<char>('0' + value / 10);
        text += static_cast<char>('0' + value % 10);
    };
    text += '-';
    two(date.month);
    text += '-';
    two(date.day);
    text += 'T';
    return text;
}

}  // namespace

void AppendUtcTime(std::string& out, std::int64_t seconds) {
    // The date is worked out once for each day met in a row.
    thread_local std::int64_t lastDay = 0;
    thread_local std::string date = DateText(0);
    // Floor division: the seconds of a day before 1970 count up from its midnight too.
    const std::int64_t day = seconds / kDay - (seconds % kDay < 0 ? 1 : 0);
    if (day != lastDay) {
        date = DateText(day);
        lastDay = day;
    }
    const std::int64_t second = seconds % kDay < 0 ? seconds % kDay + kDay : seconds % kDay;
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

std::int64_t SecondsSinceEpoch() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace quorvale::runtime
