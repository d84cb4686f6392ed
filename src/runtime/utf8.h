// Reading and writing UTF-8, for text that may hold bytes that are not UTF-8 (names are the file
// system's bytes).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvale::runtime {

// The character `text` begins with: its bytes, and its code point, or -1 (and its first byte
// alone) when the bytes there are not UTF-8 (overlong forms and surrogates included). `text` must
// not be empty.
struct Utf8Character {
    std::string_view bytes;
    std::int32_t code;
};
Utf8Character NextUtf8Character(std::string_view text);

// Appends the code point `code` (at most 0x10FFFF) as UTF-8.
void AppendUtf8(std::string& out, std::uint32_t code);

}  // namespace quorvale::runtime
