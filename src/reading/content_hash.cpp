#include "reading/content_hash.h"

#include <xxhash.h>

#include <new>

#include "runtime/runtime_error.h"

#include <openssl/evp.h>

namespace quorvale::reading {

struct ContentHash::State {
    XXH3_state_t* xxh3 = nullptr;
    EVP_MD_CTX* sha256 = nullptr;
};

std::string_view HashAlgorithmName(HashAlgorithm algorithm) {
    switch (algorithm) {
        case HashAlgorithm::kXxh3:
            return "xxh3";
        case HashAlgorithm::kSha256:
            return "sha256";
        case HashAlgorithm::kNone:
            break;
    }
    return "none";
}

std::optional<HashAlgorithm> HashAlgorithmNamed(std::string_view name) {
    if (name == "xxh3" || name == "xxh128") return HashAlgorithm::kXxh3;
    if (name == "sha256") return HashAlgorithm::kSha256;
    return std::nullopt;
}

std::size_t HashBytes(HashAlgorithm algorithm) {
    return algorithm == HashAlgorithm::kXxh3 ? 16 : algorithm == HashAlgorithm::kSha256 ? 32 : 0;
}

ContentHash::ContentHash(HashAlgorithm algorithm)
    : algorithm_(algorithm), state_(std::make_unique<State>()) {
    if (algorithm_ == HashAlgorithm::kXxh3) {
        state_->xxh3 = XXH3_createState();
        if (state_->xxh3 == nullptr) throw std::bad_alloc();
    } else if (algorithm_ == HashAlgorithm::kSha256) {
        state_->sha256 = EVP_MD_CTX_new();
        if (state_->sha256 == nullptr) throw std::bad_alloc();
    }
    Reset();
}

ContentHash::~ContentHash() {
    if (state_->xxh3 != nullptr) XXH3_freeState(state_->xxh3);
    if (state_->sha256 != nullptr) EVP_MD_CTX_free(state_->sha256);
}

void ContentHash::Reset() {
    if (state_->xxh3 != nullptr) XXH3_128bits_reset(state_->xxh3);
    if (state_->sha256 != nullptr &&
        EVP_DigestInit_ex(state_->sha256, EVP_sha256(), nullptr) != 1) {
        throw runtime::RuntimeError(runtime::InvalidProcedureCall,
                                    "Cannot start a SHA-256 hash: the crypto library refused");
    }
}

void ContentHash::Update(std::string_view bytes) {
    if (state_->xxh3 != nullptr) XXH3_128bits_update(state_->xxh3, bytes.data(), bytes.size());
    if (state_->sha256 != nullptr) EVP_DigestUpdate(state_->sha256, bytes.data(), bytes.size());
}

std::string ContentHash::Final() {
    if (state_->xxh3 != nullptr) {
        XXH128_canonical_t canonical;
        XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state_->xxh3));
        return {reinterpret_cast<const char*>(canonical.digest), sizeof canonical.digest};
    }
    if (state_->sha256 != nullptr) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        EVP_DigestFinal_ex(state_->sha256, digest, &size);
        return {reinterpret_cast<const char*>(digest), size};
    }
    return {};
}

std::string HashHex(std::string_view hash) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(hash.size() * 2);
    for (const char c : hash) {
        const auto byte = static_cast<unsigned char>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

}  // namespace quorvale::reading
