#include "catalogue/index_format.h"

#include <zstd.h>

#include <memory>

namespace quorvale::catalogue {

IndexDamaged::IndexDamaged(const std::string& why)
    : RuntimeError(runtime::InvalidProcedureCall, why) {}

void ThrowIndexDamaged(const std::string& why) {
    throw IndexDamaged("its index is damaged (" + why + ")");
}

namespace {

constexpr int kCompressionLevel = 3;
// The most a frame may hold decompressed: more than a Save ever makes, so a damaged size is told
// apart from a real one.
constexpr unsigned long long kMostFrameBytes = 32 << 20;

}  // namespace

// Compressed into room kept for the next frame, and kept in a string of its own size: fresh
// memory costs a page fault a page.
std::string CompressFrame(const std::string& bytes) {
    thread_local const std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(
        ZSTD_createCCtx(), &ZSTD_freeCCtx);
    thread_local std::string room;
    const std::size_t bound = ZSTD_compressBound(bytes.size());
    if (room.size() < bound) room.resize(bound);
    const std::size_t size = ZSTD_compressCCtx(context.get(), room.data(), bound, bytes.data(),
                                               bytes.size(), kCompressionLevel);
    if (ZSTD_isError(size) != 0) {
        throw runtime::RuntimeError(
            runtime::InvalidProcedureCall,
            std::string("Cannot write the index: ") + ZSTD_getErrorName(size));
    }
    return std::string(room.data(), size);
}

std::string DecompressFrame(std::string_view frame) {
    const unsigned long long size = ZSTD_getFrameContentSize(frame.data(), frame.size());
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN ||
        size > kMostFrameBytes) {
        ThrowIndexDamaged("a block that is not whole");
    }
    std::string content(static_cast<std::size_t>(size), '\0');
    const std::size_t made =
        ZSTD_decompress(content.data(), content.size(), frame.data(), frame.size());
    if (ZSTD_isError(made) != 0 || made != content.size()) {
        ThrowIndexDamaged("a block that is not whole");
    }
    return content;
}

std::uint32_t IndexChecksum(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

void PutLongVarint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out += static_cast<char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    out += static_cast<char>(value);
}

std::uint64_t VarintAt(std::string_view bytes, std::size_t& at) {
    std::uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (at >= bytes.size()) ThrowIndexDamaged("a number past its end");
        const auto byte = static_cast<unsigned char>(bytes[at++]);
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) return value;
    }
    ThrowIndexDamaged("a number too long");
}

std::int64_t ZigzagAt(std::string_view bytes, std::size_t& at) {
    const std::uint64_t value = VarintAt(bytes, at);
    return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

std::uint64_t NextIndexedPath(std::string_view block, std::size_t& at, std::string& path) {
    const std::uint64_t shared = VarintAt(block, at);
    const std::uint64_t rest = VarintAt(block, at);
    const std::uint64_t length = rest >> 3;
    if (shared > path.size() || length > block.size() - at) ThrowIndexDamaged("a path");
    path.resize(shared);
    path.append(block.substr(at, length));
    at += length;
    return rest & 7;
}

std::uint64_t KindBits(char kind) {
    switch (kind) {
        case 'd':
        case 'f':
            return 1;
        case 'l':
            return 2;
        case 'o':
            return 3;
        default:
            return 0;
    }
}

char KindOf(std::uint64_t bits, bool isFolder) {
    switch (bits) {
        case 1:
            return isFolder ? 'd' : 'f';
        case 2:
            return 'l';
        case 3:
            return 'o';
        default:
            return '?';
    }
}

}  // namespace quorvale::catalogue
