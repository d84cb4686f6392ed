#include "reading/content_hash.h"

#include <xxhash.h>

#include <new>
#include <string>

#include "runtime/library_on_demand.h"
#include "runtime/runtime_error.h"

// Declarations only: the library itself is loaded the first time SHA-256 is wanted.
#include <openssl/evp.h>
#include <openssl/opensslv.h>

namespace quorvale::reading {

namespace {

#define QUORVALE_AS_TEXT(x) #x
#define QUORVALE_NUMBER_AS_TEXT(x) QUORVALE_AS_TEXT(x)
constexpr const char* kCryptoLibrary =
    "libcrypto.so." QUORVALE_NUMBER_AS_TEXT(OPENSSL_VERSION_MAJOR);
#undef QUORVALE_NUMBER_AS_TEXT
#undef QUORVALE_AS_TEXT

// SHA-256 comes from OpenSSL's libcrypto, loaded when first wanted rather than linked: linked,
// every command loaded and relocated it at its start, which made `--version` take 7.2 ms instead
// of 3.6 and every short `--find` as much longer, for a hash few Saves ask for.
struct CryptoLibrary {
    decltype(&EVP_MD_CTX_new) newContext = nullptr;
    decltype(&EVP_MD_CTX_free) freeContext = nullptr;
    decltype(&EVP_sha256) sha256 = nullptr;
    decltype(&EVP_DigestInit_ex) init = nullptr;
    decltype(&EVP_DigestUpdate) update = nullptr;
    decltype(&EVP_DigestFinal_ex) final = nullptr;
    std::string failure;  // why it could not be loaded; empty once it was
};

CryptoLibrary LoadCrypto() {
    CryptoLibrary crypto;
    runtime::LibraryOnDemand library(kCryptoLibrary);
    library.Find("EVP_MD_CTX_new", crypto.newContext);
    library.Find("EVP_MD_CTX_free", crypto.freeContext);
    library.Find("EVP_sha256", crypto.sha256);
    library.Find("EVP_DigestInit_ex", crypto.init);
    library.Find("EVP_DigestUpdate", crypto.update);
    library.Find("EVP_DigestFinal_ex", crypto.final);
    crypto.failure = library.Failure();
    return crypto;
}

// The library, loaded once whichever thread asks first.
const CryptoLibrary& Crypto() {
    static const CryptoLibrary crypto = LoadCrypto();
    if (!crypto.failure.empty()) {
        throw runtime::RuntimeError(runtime::InvalidProcedureCall,
                                    "Cannot hash with SHA-256: " + crypto.failure);
    }
    return crypto;
}

}  // namespace

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
        state_->sha256 = Crypto().newContext();
        if (state_->sha256 == nullptr) throw std::bad_alloc();
    }
    Reset();
}

ContentHash::~ContentHash() {
    if (state_->xxh3 != nullptr) XXH3_freeState(state_->xxh3);
    if (state_->sha256 != nullptr) Crypto().freeContext(state_->sha256);
}

void ContentHash::Reset() {
    if (state_->xxh3 != nullptr) XXH3_128bits_reset(state_->xxh3);
    if (state_->sha256 != nullptr &&
        Crypto().init(state_->sha256, Crypto().sha256(), nullptr) != 1) {
        throw runtime::RuntimeError(runtime::InvalidProcedureCall,
                                    "Cannot start a SHA-256 hash: the crypto library refused");
    }
}

void ContentHash::Update(std::string_view bytes) {
    if (state_->xxh3 != nullptr) XXH3_128bits_update(state_->xxh3, bytes.data(), bytes.size());
    if (state_->sha256 != nullptr) Crypto().update(state_->sha256, bytes.data(), bytes.size());
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
        Crypto().final(state_->sha256, digest, &size);
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
