// Times as the files a Save writes give them: UTC, ISO 8601, to the second.
#pragma once

#include <cstdint>
#include <string>

namespace quorvale::runtime {

// `seconds` since the epoch as "YYYY-MM-DDThh:mm:ssZ", for every value: a year outside 0000-9999
// gets its sign and as many digits as it needs ("+10000-01-01T00:00:00Z", "-0001-12-31T...";
// year 0 is 1 BC, as ISO 8601 counts).
std::string UtcTime(std::int64_t seconds);
// The same, appended to `out`; the date is worked out once for each day met in a row, as the
// files of one folder mostly share a few days.
void AppendUtcTime(std::string& out, std::int64_t seconds);
// The system clock now, in whole seconds since the epoch.
std::int64_t SecondsSinceEpoch();

}  // namespace quorvale::runtime
