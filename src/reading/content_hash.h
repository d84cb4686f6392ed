// The hashes a listing keeps of what its files hold: XXH3-128 by default (fast enough that the
// disk is always the bound), SHA-256 for a cryptographic proof. A hash is kept as the bytes the
// usual tools print in hexadecimal (`xxhsum -H2`, `sha256sum`): XXH3-128 in its canonical,
// big-endian form, SHA-256 as its digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quorvale::reading {

enum class HashAlgorithm : std::uint8_t { kNone = 0, kXxh3 = 1, kSha256 = 2 };

inline constexpr std::size_t kMaxHashBytes = 32;

// The order files are read in to be hashed: as the disk wants it (one reader in the disk's order
// on a rotational disk, several in the listing's order elsewhere), or either of those whatever
// the disk says of itself (a virtual disk may call itself rotational, a slow array not).
enum class ReadOrder : std::uint8_t { kAsTheDiskWants, kDisk, kListing };

// "xxh3" or "sha256" (and "none"): as the command line takes it and the record names it.
std::string_view HashAlgorithmName(HashAlgorithm algorithm);
// The algorithm a name stands for; none for a name that stands for none.
std::optional<HashAlgorithm> HashAlgorithmNamed(std::string_view name);
// How many bytes a hash of `algorithm` takes: 16, 32, or 0 for none.
std::size_t HashBytes(HashAlgorithm algorithm);

// One hash being made, a piece of the content at a time.
class ContentHash {
  public:
    explicit ContentHash(HashAlgorithm algorithm);
    ~ContentHash();
    ContentHash(const ContentHash&) = delete;
    ContentHash& operator=(const ContentHash&) = delete;

    // Starts again from no content.
    void Reset();
    void Update(std::string_view bytes);
    // The hash of everything given since the start (HashBytes of the algorithm).
    std::string Final();

  private:
    struct State;
    HashAlgorithm algorithm_;
    std::unique_ptr<State> state_;
};

// The hash's bytes in lowercase hexadecimal, as the usual tools print them.
std::string HashHex(std::string_view hash);

}  // namespace quorvale::reading
