#include "catalogue/index_file.h"

#include <algorithm>
#include <utility>

#include "catalogue/kept_listing.h"
#include "runtime/path_join.h"
#include "runtime/read_at.h"

namespace quorvale::catalogue {

namespace {

// The most a single read of an index asks for: more than a Save ever makes, so a damaged size is
// told apart from a real one.
constexpr std::uint64_t kMostRangeBytes = 32 << 20;

// The header of `head` (the index's first kIndexHeaderBytes), checked against the listing it
// should be of and against the file's size.
IndexHeader CheckedHeader(std::string_view head, std::uint64_t size,
                          const IndexOfListing& listing) {
    namespace field = index_header;
    if (!head.starts_with(kIndexMagic))
        throw IndexDamaged("its index is not one this version reads");
    if (FixedAt<std::uint32_t>(head, kIndexHeaderChecksumAt) !=
        IndexChecksum(head.substr(0, kIndexHeaderChecksumAt))) {
        ThrowIndexDamaged("its header");
    }
    if (FixedAt<std::uint64_t>(head, field::kLines) != listing.lines ||
        FixedAt<std::uint64_t>(head, field::kBytes) != listing.listBytes ||
        head.substr(kIndexSaveIdentityAt, listing.save.bytes.size()) !=
            std::string_view(reinterpret_cast<const char*>(listing.save.bytes.data()),
                             listing.save.bytes.size())) {
        throw IndexDamaged("its index was written by another Save than its record");
    }
    IndexHeader header;
    header.entries = FixedAt<std::uint64_t>(head, field::kEntries);
    header.blocks = FixedAt<std::uint32_t>(head, field::kBlocks);
    header.trigrams = FixedAt<std::uint32_t>(head, field::kTrigrams);
    header.blockTable = FixedAt<std::uint64_t>(head, field::kBlockTable);
    header.trigramTable = FixedAt<std::uint64_t>(head, field::kTrigramTable);
    header.folders = FixedAt<std::uint64_t>(head, field::kFolders);
    header.folderTable = FixedAt<std::uint64_t>(head, field::kFolderTable);
    header.folderFrames = FixedAt<std::uint32_t>(head, field::kFolderFrames);
    header.cutShortChecksum = FixedAt<std::uint32_t>(head, field::kCutShortChecksum);
    header.cutShortAt = FixedAt<std::uint64_t>(head, field::kCutShortAt);
    if (FixedAt<std::uint64_t>(head, field::kSize) != size) ThrowIndexDamaged("its size");
    const auto fits = [size](std::uint64_t at, std::uint64_t count, std::size_t rowBytes) {
        return at <= size && size - at >= 8 && (size - at - 8) / rowBytes >= count;
    };
    if (!fits(header.blockTable, header.blocks, kFrameRowBytes) ||
        !fits(header.trigramTable, header.trigrams, kTrigramRowBytes) ||
        !fits(header.folderTable, header.folderFrames, kFrameRowBytes) ||
        header.cutShortAt > size ||
        header.blocks != (header.entries + kEntriesPerBlock - 1) / kEntriesPerBlock ||
        header.folderFrames != (header.folders + kFoldersPerFrame - 1) / kFoldersPerFrame) {
        ThrowIndexDamaged("its tables");
    }
    return header;
}

// One folder's row of a folder frame, at `at`, which it moves past it.
IndexedFolder FolderRow(std::string_view rows, std::size_t& at, std::uint64_t number,
                        std::uint64_t& entry) {
    IndexedFolder folder;
    entry += VarintAt(rows, at);
    folder.entry = entry;
    const std::uint64_t parentBack = VarintAt(rows, at);
    if (parentBack > number) ThrowIndexDamaged("a folder's parent");
    folder.parent = parentBack == 0 ? 0 : number - parentBack + 1;
    const std::uint64_t flags = VarintAt(rows, at);
    if (flags > 3) ThrowIndexDamaged("a folder's row");
    folder.kind = (flags & 2) != 0 ? 'l' : 'd';
    if ((flags & 1) != 0) {
        folder.stamp.device = static_cast<std::uint64_t>(ZigzagAt(rows, at));
        folder.stamp.inode = static_cast<std::uint64_t>(ZigzagAt(rows, at));
        folder.stamp.modified = ZigzagAt(rows, at);
        folder.stamp.changed = ZigzagAt(rows, at);
        folder.stamp.readAt = ZigzagAt(rows, at);
        folder.stamp.known = true;
    }
    const std::uint64_t length = VarintAt(rows, at);
    if (length > rows.size() - at) ThrowIndexDamaged("a folder's name");
    folder.name.assign(rows.substr(at, length));
    at += length;
    return folder;
}

}  // namespace

std::optional<IndexOfListing> IndexOfRecord(const ListingRecord& record) {
    if (!record.indexSave) return std::nullopt;
    return IndexOfListing{record.indexBytes, record.lines, record.bytes, *record.indexSave};
}

IndexFile::IndexFile(runtime::UniqueFd fd, const IndexOfListing& listing)
    : fd_(std::move(fd)), size_(listing.size) {
    if (size_ < kIndexHeaderBytes) throw IndexDamaged("its index is not one this version reads");
    header_ = CheckedHeader(Range(0, kIndexHeaderBytes), size_, listing);
}

std::string IndexFile::Range(std::uint64_t at, std::uint64_t end) const {
    if (at > end || end > size_) ThrowIndexDamaged("an offset past its end");
    if (end - at > kMostRangeBytes) ThrowIndexDamaged("a block larger than a search reads");
    std::string bytes(end - at, '\0');
    if (runtime::ReadAt(fd_.Get(), at, bytes.data(), bytes.size()) != 0) {
        ThrowIndexDamaged("it cannot be read");
    }
    return bytes;
}

// The frame's row and the end that follows it in one read.
std::string IndexFile::FrameBytes(std::uint64_t table, std::uint64_t number,
                                  std::uint32_t* checksum) const {
    const std::uint64_t at = table + kFrameRowBytes * number;
    const std::string row = Range(at, at + kFrameRowBytes + 8);
    std::string bytes =
        Range(FixedAt<std::uint64_t>(row, 0), FixedAt<std::uint64_t>(row, kFrameRowBytes));
    const auto expected = FixedAt<std::uint32_t>(row, 8);
    if (IndexChecksum(bytes) != expected) ThrowIndexDamaged("a block");
    if (checksum != nullptr) *checksum = expected;
    return bytes;
}

std::string IndexFile::Frame(std::uint64_t table, std::uint64_t number) const {
    return DecompressFrame(FrameBytes(table, number));
}

// Marks the folders of the cut-short list.
void IndexFile::ReadCutShort(std::vector<IndexedFolder>& folders) const {
    const std::string list = Range(header_.cutShortAt, size_);
    if (IndexChecksum(list) != header_.cutShortChecksum) ThrowIndexDamaged("its cut-short list");
    std::uint64_t folder = 0;
    for (std::size_t at = 0; at < list.size();) {
        folder += VarintAt(list, at);
        if (folder >= folders.size()) ThrowIndexDamaged("its cut-short list");
        folders[folder].cutShort = true;
    }
}

void IndexFile::FolderFrame(std::uint32_t frame, std::uint64_t& entry,
                            std::vector<IndexedFolder>& folders) const {
    if (frame >= header_.folderFrames) ThrowIndexDamaged("its folder count");
    const std::string rows = Frame(header_.folderTable, frame);
    const std::uint64_t first = std::uint64_t{frame} * kFoldersPerFrame;
    for (std::size_t at = 0; at < rows.size();) {
        folders.push_back(FolderRow(rows, at, first + folders.size(), entry));
    }
}

std::vector<IndexedFolder> IndexFile::Folders() const {
    std::vector<IndexedFolder> folders;
    std::uint64_t entry = 0;
    std::vector<IndexedFolder> frameFolders;
    for (std::uint32_t frame = 0; frame < header_.folderFrames; ++frame) {
        frameFolders.clear();
        FolderFrame(frame, entry, frameFolders);
        std::move(frameFolders.begin(), frameFolders.end(), std::back_inserter(folders));
    }
    if (folders.size() != header_.folders) ThrowIndexDamaged("its folder count");
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const std::uint64_t next = i + 1 < folders.size() ? folders[i + 1].entry : header_.entries;
        if (next <= folders[i].entry || next > header_.entries) {
            ThrowIndexDamaged("a folder's entries");
        }
        folders[i].files = next - folders[i].entry - 1;
    }
    ReadCutShort(folders);
    return folders;
}

void IndexFile::CheckBlocks() const {
    for (std::uint32_t block = 0; block < header_.blocks; ++block) {
        FrameBytes(header_.blockTable, block);
    }
}

IndexedBlock IndexFile::Block(std::uint64_t entry) const {
    if (entry >= header_.entries) ThrowIndexDamaged("an entry past its end");
    const std::uint64_t number = entry / kEntriesPerBlock;
    const std::string block = Frame(header_.blockTable, number);
    IndexedBlock decoded;
    decoded.first = number * kEntriesPerBlock;
    std::string path;
    for (std::size_t at = 0; at < block.size();) {
        const std::uint64_t code = NextIndexedPath(block, at, path);
        decoded.names.append(runtime::LastPathPart(path));
        decoded.ends.push_back(static_cast<std::uint32_t>(decoded.names.size()));
        decoded.kinds += KindOf((code >> 1) & 3, (code & 1) != 0);
    }
    const std::uint64_t expected =
        std::min<std::uint64_t>(kEntriesPerBlock, header_.entries - decoded.first);
    if (decoded.Count() != expected) ThrowIndexDamaged("a block's entries");
    return decoded;
}

IndexFile OpenIndexOf(KeptListing& listing) {
    const ListingRecord& record = listing.Record();
    if (record.indexName.empty())
        throw IndexDamaged("it has no index (saved by an earlier version)");
    const std::optional<IndexOfListing> index = IndexOfRecord(record);
    if (!index) {
        throw IndexDamaged("its index is of an earlier version (saved without its identity)");
    }
    std::uint64_t size = 0;
    runtime::UniqueFd fd = listing.OpenIndex(size);
    if (!fd) throw IndexDamaged("its index is missing");
    if (size != index->size) throw IndexDamaged("its index is not the size its record states");
    return IndexFile(std::move(fd), *index);
}

}  // namespace quorvale::catalogue
