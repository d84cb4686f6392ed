// The identity of one Save: a random 128-bit number written into both its record and its index,
// so that an index is used only beside the record of the Save that wrote it (an index copied from
// another listing, or left by another Save, is not). New identities come from here alone, and a
// test may fix them.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace quorvale::catalogue {

struct SaveIdentity {
    std::array<unsigned char, 16> bytes{};

    bool operator==(const SaveIdentity&) const = default;
    // As a record writes it: 32 lowercase hexadecimal digits.
    std::string Hex() const;
    // Back from Hex(); none for anything else.
    static std::optional<SaveIdentity> FromHex(std::string_view hex);
};

// A new Save's identity: random, from the system's random source (or the one a test fixed).
SaveIdentity NewSaveIdentity();

// For tests: every new identity from now on is `fixed`; none: random again.
void FixSaveIdentity(std::optional<SaveIdentity> fixed);

}  // namespace quorvale::catalogue
