// A kept listing's content hashes with the paths they are of: its hash file by entry opened and
// checked against its record, its files walked beside its hashes in listing order, and the hashes
// printed in the format the usual checkers read (`xxhsum -c`, `sha256sum -c`).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "catalogue/hash_file.h"
#include "catalogue/kept_listing.h"

namespace quorvale::catalogue {

// The hashes of `listing`, checked whole (only their header with kLater: see KeptHashes). Throws
// runtime::RuntimeError ("Cannot <action> "<folder>": it has no hashes (it was saved without
// --hash)", or why they cannot be used).
std::unique_ptr<KeptHashes> OpenHashes(KeptListing& listing, std::string_view action,
                                       KeptHashes::RowsCheck check = KeptHashes::RowsCheck::kNow);

// The hashes by size and hash of `listing`, their header checked (their rows as they are read).
// Throws as OpenHashes.
std::unique_ptr<HashesBySize> OpenHashesBySize(KeptListing& listing, std::string_view action);

// A hashed file of a listing: its path beneath the listing's root, with each CR and LF as the byte
// the list files write a sign for; none where the listing cannot tell (a name of a listing whose
// names also hold the sign itself).
struct HashedEntry {
    const KeptEntry& entry;
    std::optional<std::string> relative;
    const HashRow& row;
};

// Tells `each` every file of `listing` that has a hash, in listing order. `check` is called every
// few thousand entries. Throws what reading the listing throws, and runtime::RuntimeError when a
// hash names no file of the listing.
void ForEachHashedEntry(KeptListing& listing, const KeptHashes& hashes,
                        const std::function<void(const HashedEntry&)>& each,
                        const std::function<void()>& check = {});

// Writes the hashes of the listing kept in `folder` as "HASH  PATH" lines, the path relative to
// its root, which `cd ROOT && xxhsum -c` (XXH3-128) or `sha256sum -c` (SHA-256) verifies. A name
// holding a CR, an LF or a backslash is written with sha256sum's escapes for SHA-256 (the line
// begins with "\"); for XXH3-128, whose checker reads no escapes, it is left out and told to
// `leftOut`. Throws as ForEachHashedEntry.
void ExportSums(const std::string& folder, const std::function<void(std::string_view)>& write,
                const std::function<void(const std::string& path)>& leftOut,
                const std::function<void()>& check = {});

}  // namespace quorvale::catalogue
