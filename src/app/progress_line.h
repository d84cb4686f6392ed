// The progress line a Save without a window shows on a terminal: lines so far, list files
// written, time taken and the folder being read, made to fit the terminal's width so that it can
// be rewritten in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvale::app {

// The columns a terminal gives `text` (UTF-8): two for wide characters (CJK and the like), none
// for combining marks, one for the rest.
std::size_t DisplayWidth(std::string_view text);

// `name` as a terminal may show it: control bytes and bytes that are not UTF-8 as \xNN, every
// character whole.
std::string Printable(std::string_view name);

// The progress line, at most `columns` - 1 columns wide (a terminal wraps a line that fills its
// last column): the folder is shortened in the middle with "…" when it does not fit.
std::string ProgressLine(long lines, long listFiles, double seconds, std::string_view folder,
                         std::size_t columns);

// The progress line of hashing: files and bytes read of those known so far (`bytes` 0: not
// known), and the rate of reading, at most `columns` - 1 columns wide.
std::string HashProgressLine(std::uint64_t filesDone, std::uint64_t files, std::uint64_t bytesDone,
                             std::uint64_t bytes, double seconds, std::size_t columns);

// The width of the terminal on `fd`, or 80 when it does not say.
std::size_t TerminalColumns(int fd);

}  // namespace quorvale::app
