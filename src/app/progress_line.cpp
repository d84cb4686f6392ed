#include "app/progress_line.h"

#include <sys/ioctl.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "runtime/human_size.h"
#include "runtime/utf8.h"

namespace quorvale::app {

namespace {

constexpr std::string_view kEllipsis = "\xE2\x80\xA6";  // U+2026, one column

std::size_t CodeWidth(std::int32_t code) {
    const auto in = [code](std::int32_t from, std::int32_t to) {
        return code >= from && code <= to;
    };
    if (in(0x0300, 0x036F) || in(0x1AB0, 0x1AFF) || in(0x1DC0, 0x1DFF) || in(0x20D0, 0x20FF) ||
        in(0xFE20, 0xFE2F) || code == 0x200B || in(0x200C, 0x200F)) {
        return 0;
    }
    if (in(0x1100, 0x115F) || in(0x2E80, 0x303E) || in(0x3041, 0x33FF) || in(0x3400, 0x4DBF) ||
        in(0x4E00, 0x9FFF) || in(0xA000, 0xA4CF) || in(0xAC00, 0xD7A3) || in(0xF900, 0xFAFF) ||
        in(0xFE30, 0xFE4F) || in(0xFF00, 0xFF60) || in(0xFFE0, 0xFFE6) || in(0x1F300, 0x1F64F) ||
        in(0x1F900, 0x1F9FF) || in(0x20000, 0x3FFFD)) {
        return 2;
    }
    return 1;
}

// The printable characters of `text`, each with its width.
std::vector<std::pair<std::string, std::size_t>> PrintableCharacters(std::string_view text) {
    std::vector<std::pair<std::string, std::size_t>> characters;
    while (!text.empty()) {
        const runtime::Utf8Character c = runtime::NextUtf8Character(text);
        text.remove_prefix(c.bytes.size());
        if (c.code < 0x20 || c.code == 0x7F || (c.code >= 0x80 && c.code < 0xA0)) {
            for (const char b : c.bytes) {
                char escaped[5];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(b));
                characters.emplace_back(escaped, 4);
            }
        } else {
            characters.emplace_back(std::string(c.bytes), CodeWidth(c.code));
        }
    }
    return characters;
}

}  // namespace

std::size_t DisplayWidth(std::string_view text) {
    std::size_t width = 0;
    for (const auto& [bytes, columns] : PrintableCharacters(text)) width += columns;
    return width;
}

std::string Printable(std::string_view name) {
    std::string shown;
    for (const auto& [bytes, columns] : PrintableCharacters(name)) shown += bytes;
    return shown;
}

std::string HashProgressLine(std::uint64_t filesDone, std::uint64_t files, std::uint64_t bytesDone,
                             std::uint64_t bytes, double seconds, std::size_t columns) {
    std::string line = "hashed " + std::to_string(filesDone) + " of " + std::to_string(files) +
                       " files, " + runtime::HumanReadableSize(bytesDone);
    if (bytes != 0) line += " of " + runtime::HumanReadableSize(bytes);
    if (seconds > 0) {
        line += ", " +
                runtime::HumanReadableSize(
                    static_cast<std::uint64_t>(static_cast<double>(bytesDone) / seconds)) +
                "/s";
    }
    const std::size_t room = columns > 1 ? columns - 1 : 0;
    return line.size() > room ? line.substr(0, room) : line;
}

std::string ProgressLine(long lines, long listFiles, double seconds, std::string_view folder,
                         std::size_t columns) {
    char counts[96];
    std::snprintf(counts, sizeof counts, "%ld line%s, %ld list file%s, %.1f s", lines,
                  lines == 1 ? "" : "s", listFiles, listFiles == 1 ? "" : "s", seconds);
    std::string line = counts;
    const std::size_t room = columns > 1 ? columns - 1 : 0;
    if (line.size() >= room) return line.substr(0, room);
    if (folder.empty() || line.size() + 2 + 1 > room) return line;
    const auto characters = PrintableCharacters(folder);
    std::size_t width = 0;
    for (const auto& character : characters) width += character.second;
    const std::size_t left = room - line.size() - 2;
    line += ", ";
    if (width <= left) {
        for (const auto& character : characters) line += character.first;
        return line;
    }
    // The start and the end of the folder, with "…" between them.
    const std::size_t keep = left - 1;
    std::size_t head = 0;
    std::size_t headWidth = 0;
    while (head < characters.size() && headWidth + characters[head].second <= keep / 2) {
        headWidth += characters[head++].second;
    }
    std::size_t tail = characters.size();
    std::size_t tailWidth = 0;
    while (tail > head && headWidth + tailWidth + characters[tail - 1].second <= keep) {
        tailWidth += characters[--tail].second;
    }
    for (std::size_t i = 0; i < head; ++i) line += characters[i].first;
    line += kEllipsis;
    for (std::size_t i = tail; i < characters.size(); ++i) line += characters[i].first;
    return line;
}

std::size_t TerminalColumns(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

}  // namespace quorvale::app
