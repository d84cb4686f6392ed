#include "catalogue/save_identity.h"

#include <sys/random.h>

#include <cerrno>
#include <mutex>
#include <random>

namespace quorvale::catalogue {

namespace {

std::mutex fixedMutex;
std::optional<SaveIdentity> fixedIdentity;  // under fixedMutex

constexpr char kDigits[] = "0123456789abcdef";

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string SaveIdentity::Hex() const {
    std::string hex;
    hex.reserve(2 * bytes.size());
    for (const unsigned char byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

std::optional<SaveIdentity> SaveIdentity::FromHex(std::string_view hex) {
    SaveIdentity identity;
    if (hex.size() != 2 * identity.bytes.size()) return std::nullopt;
    for (std::size_t i = 0; i < identity.bytes.size(); ++i) {
        const int high = DigitValue(hex[2 * i]);
        const int low = DigitValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        identity.bytes[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return identity;
}

SaveIdentity NewSaveIdentity() {
    {
        const std::lock_guard lock(fixedMutex);
        if (fixedIdentity) return *fixedIdentity;
    }
    SaveIdentity identity;
    std::size_t done = 0;
    while (done < identity.bytes.size()) {
        const ssize_t n =
            ::getrandom(identity.bytes.data() + done, identity.bytes.size() - done, 0);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            break;  // no getrandom (an old kernel): the library's source instead
        }
    }
    if (done < identity.bytes.size()) {
        std::random_device random;
        for (unsigned char& byte : identity.bytes) byte = static_cast<unsigned char>(random());
    }
    return identity;
}

void FixSaveIdentity(std::optional<SaveIdentity> fixed) {
    const std::lock_guard lock(fixedMutex);
    fixedIdentity = fixed;
}

}  // namespace quorvale::catalogue
