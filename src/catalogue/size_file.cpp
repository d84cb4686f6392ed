#include "catalogue/size_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <queue>
#include <utility>

#include "catalogue/index_format.h"
#include "runtime/read_at.h"
#include "runtime/runtime_error.h"

namespace quorvale::catalogue {

namespace {

namespace header {
constexpr std::size_t kEntries = 8;
constexpr std::size_t kFolders = 16;
constexpr std::size_t kLines = 24;
constexpr std::size_t kSave = 32;
constexpr std::size_t kRootBytes = 48;
constexpr std::size_t kRootBlocks = 56;
constexpr std::size_t kEntryTable = 64;
constexpr std::size_t kFolderRows = 72;
constexpr std::size_t kSize = 80;
constexpr std::size_t kTableChecksum = 88;
constexpr std::size_t kChecksum = 92;
}  // namespace header

// Scratch pieces smaller than this wait to be written together.
constexpr std::size_t kScratchPending = std::size_t{1} << 20;
// Linked files read back from each run at a time while the runs are merged.
constexpr std::size_t kRunWindow = 4096;
constexpr std::size_t kLinkedBytes = 32;

// Whether `path` lies below the folder `folder` (both as listed, a folder's without its closing
// "/" but for the root of a file system).
bool IsBelow(std::string_view path, std::string_view folder) {
    if (folder.empty() || folder.back() == '/') {
        return path.size() > folder.size() && path.starts_with(folder);
    }
    return path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/';
}

}  // namespace

void ThrowSizesDamaged(const std::string& why) {
    throw runtime::RuntimeError(runtime::InvalidProcedureCall,
                                "its sizes are damaged (" + why + ")");
}

// A folder whose lines are still being told, with its totals so far.
struct SizesWriter::Open {
    std::string path;
    std::uint64_t number = 0;
    FolderTotals totals;
};

// A file with more than one link: counted once in the root's total however many it has.
struct SizesWriter::Linked {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t bytes = 0;
    std::uint64_t blocks = 0;
    auto Key() const { return std::pair(device, inode); }
};

SizesWriter::SizesWriter(runtime::UniqueFd scratch) : scratchFd_(std::move(scratch)) {
    if (scratchFd_) scratch_ = std::make_unique<ScratchFile>(scratchFd_.Get(), kScratchPending);
}

SizesWriter::~SizesWriter() = default;

std::uint64_t SizesWriter::Keep(std::string_view bytes) {
    if (scratch_) return scratch_->Append(bytes);
    const std::uint64_t at = memory_.size();
    memory_.append(bytes);
    return at;
}

std::string SizesWriter::Kept(std::uint64_t at, std::size_t size) const {
    if (!scratch_) return memory_.substr(at, size);
    std::string out;
    scratch_->Read(at, size, out);
    return out;
}

void SizesWriter::CloseTop() {
    Open closed = std::move(open_.back());
    open_.pop_back();
    if (!open_.empty()) {
        FolderTotals& parent = open_.back().totals;
        parent.bytes += closed.totals.bytes;
        parent.blocks += closed.totals.blocks;
        parent.files += closed.totals.files;
        parent.folders += closed.totals.folders + 1;
    }
    folders_[closed.number] = closed.totals;
}

void SizesWriter::CloseFoldersNotAbove(std::string_view path) {
    while (!open_.empty() && !IsBelow(path, open_.back().path)) CloseTop();
}

void SizesWriter::EndFrame() {
    std::string frame = CompressFrame(frame_);
    frameChecksums_.push_back(IndexChecksum(frame));
    frames_.emplace_back(Keep(frame), static_cast<std::uint32_t>(frame.size()));
    frame_.clear();
    lastModified_ = 0;
}

void SizesWriter::Add(std::string_view path, bool isFolder, const reading::EntryDetails* details) {
    EntrySize size;
    if (details != nullptr) {
        size = {details->size, details->blocks, details->links, details->modified};
    } else {
        size.modified = lastModified_;
    }
    PutVarint(frame_, size.bytes);
    PutVarint(frame_, size.blocks);
    PutVarint(frame_, size.links);
    PutZigzag(frame_, size.modified - lastModified_);
    lastModified_ = size.modified;
    const std::uint64_t entry = entries_++;
    if (frame_.size() != 0 && entries_ % kEntriesPerSizeFrame == 0) EndFrame();

    rootBytes_ += size.bytes;
    rootBlocks_ += size.blocks;
    if (isFolder) {
        // A file's line follows its folder's: only a folder line can close folders.
        CloseFoldersNotAbove(path);
        open_.push_back(
            {std::string(path), folders_.size(), {entry, size.bytes, size.blocks, 0, 0}});
        folders_.emplace_back();
        return;
    }
    if (!open_.empty()) {
        FolderTotals& folder = open_.back().totals;
        folder.bytes += size.bytes;
        folder.blocks += size.blocks;
        ++folder.files;
    }
    if (details != nullptr && details->links > 1 && details->type != 'd') {
        linked_.push_back({details->device, details->inode, size.bytes, size.blocks});
        if (linked_.size() >= kLinkedHeld) SpillLinked();
    }
}

// Writes the linked files held, sorted, as a run of the scratch file.
void SizesWriter::SpillLinked() {
    std::sort(linked_.begin(), linked_.end(),
              [](const Linked& a, const Linked& b) { return a.Key() < b.Key(); });
    std::string bytes;
    bytes.reserve(linked_.size() * kLinkedBytes);
    for (const Linked& file : linked_) {
        PutFixed(bytes, file.device);
        PutFixed(bytes, file.inode);
        PutFixed(bytes, file.bytes);
        PutFixed(bytes, file.blocks);
    }
    linkedRuns_.emplace_back(Keep(bytes), linked_.size());
    linked_.clear();
}

// What the folders' totals count more than once of the root's: each linked file's bytes and
// blocks once for every link beyond its first.
std::pair<std::uint64_t, std::uint64_t> SizesWriter::CountedTwice() {
    if (!linked_.empty()) SpillLinked();
    if (scratch_) scratch_->Flush();
    // Each run read a window at a time; the runs merged by their next file's key.
    struct Run {
        std::uint64_t at = 0;
        std::uint64_t left = 0;
        std::vector<Linked> window;
        std::size_t next = 0;
    };
    std::vector<Run> runs;
    for (const auto& [at, count] : linkedRuns_) runs.push_back({at, count, {}, 0});
    const auto refill = [this](Run& run) {
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(kRunWindow, run.left));
        const std::string bytes = Kept(run.at, count * kLinkedBytes);
        run.window.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = i * kLinkedBytes;
            run.window[i] = {
                FixedAt<std::uint64_t>(bytes, at), FixedAt<std::uint64_t>(bytes, at + 8),
                FixedAt<std::uint64_t>(bytes, at + 16), FixedAt<std::uint64_t>(bytes, at + 24)};
        }
        run.at += count * kLinkedBytes;
        run.left -= count;
        run.next = 0;
        return count != 0;
    };
    const auto later = [&runs](std::size_t a, std::size_t b) {
        return runs[b].window[runs[b].next].Key() < runs[a].window[runs[a].next].Key();
    };
    std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(later)> heap(later);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (refill(runs[i])) heap.push(i);
    }
    std::pair<std::uint64_t, std::uint64_t> twice{0, 0};
    bool any = false;
    std::pair<std::uint64_t, std::uint64_t> last;
    while (!heap.empty()) {
        const std::size_t i = heap.top();
        heap.pop();
        Run& run = runs[i];
        const Linked& file = run.window[run.next];
        if (any && file.Key() == last) {
            twice.first += file.bytes;
            twice.second += file.blocks;
        }
        any = true;
        last = file.Key();
        if (++run.next < run.window.size() || refill(run)) heap.push(i);
    }
    return twice;
}

std::uint64_t SizesWriter::Finish(std::uint64_t lines, const SaveIdentity& save,
                                  runtime::TextOutput& out) {
    while (!open_.empty()) CloseTop();
    if (!frame_.empty()) EndFrame();
    const auto [bytesTwice, blocksTwice] = CountedTwice();
    if (scratch_) scratch_->Flush();

    std::string table;
    std::uint64_t at = kSizesHeaderBytes;
    for (std::size_t i = 0; i < frames_.size(); ++i) {
        PutFixed(table, at);
        PutFixed(table, frameChecksums_[i]);
        at += frames_[i].second;
    }
    PutFixed(table, at);
    const std::uint64_t tableAt = at;
    const std::uint64_t rowsAt = tableAt + table.size();
    const std::uint64_t chunks =
        (folders_.size() + kFoldersPerSizeChunk - 1) / kFoldersPerSizeChunk;
    const std::uint64_t size = rowsAt + folders_.size() * kFolderTotalsBytes + chunks * 4;

    std::string head;
    head.append(kSizesMagic);
    PutFixed(head, entries_);
    PutFixed(head, std::uint64_t{folders_.size()});
    PutFixed(head, lines);
    head.append(reinterpret_cast<const char*>(save.bytes.data()), save.bytes.size());
    PutFixed(head, rootBytes_ - bytesTwice);
    PutFixed(head, rootBlocks_ - blocksTwice);
    PutFixed(head, tableAt);
    PutFixed(head, rowsAt);
    PutFixed(head, size);
    PutFixed(head, IndexChecksum(table));
    PutFixed(head, IndexChecksum(head));
    out.PrintBytes(head);

    for (const auto& [kept, bytes] : frames_) out.PrintBytes(Kept(kept, bytes));
    out.PrintBytes(table);
    std::string checksums;
    for (std::size_t first = 0; first < folders_.size(); first += kFoldersPerSizeChunk) {
        std::string rows;
        const std::size_t end = std::min(folders_.size(), first + kFoldersPerSizeChunk);
        for (std::size_t i = first; i < end; ++i) {
            const FolderTotals& folder = folders_[i];
            for (const std::uint64_t number :
                 {folder.entry, folder.bytes, folder.blocks, folder.files, folder.folders}) {
                PutFixed(rows, number);
            }
        }
        PutFixed(checksums, IndexChecksum(rows));
        out.PrintBytes(rows);
    }
    out.PrintBytes(checksums);
    return size;
}

KeptSizes::KeptSizes(runtime::UniqueFd fd, std::uint64_t lines, const SaveIdentity& save)
    : fd_(std::move(fd)) {
    struct stat st {};
    if (::fstat(fd_.Get(), &st) != 0 ||
        static_cast<std::uint64_t>(st.st_size) < kSizesHeaderBytes) {
        ThrowSizesDamaged("its header");
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const std::string head = Range(0, kSizesHeaderBytes);
    if (!std::string_view(head).starts_with(kSizesMagic)) {
        ThrowSizesDamaged("not a file of sizes this version reads");
    }
    if (FixedAt<std::uint32_t>(head, header::kChecksum) !=
        IndexChecksum(std::string_view(head).substr(0, header::kChecksum))) {
        ThrowSizesDamaged("its header");
    }
    if (FixedAt<std::uint64_t>(head, header::kLines) != lines ||
        std::string_view(head).substr(header::kSave, save.bytes.size()) !=
            std::string_view(reinterpret_cast<const char*>(save.bytes.data()), save.bytes.size())) {
        ThrowSizesDamaged("written by another Save than its record");
    }
    entries_ = FixedAt<std::uint64_t>(head, header::kEntries);
    folders_ = FixedAt<std::uint64_t>(head, header::kFolders);
    rootBytesOnce_ = FixedAt<std::uint64_t>(head, header::kRootBytes);
    rootBlocksOnce_ = FixedAt<std::uint64_t>(head, header::kRootBlocks);
    const auto tableAt = FixedAt<std::uint64_t>(head, header::kEntryTable);
    folderRowsAt_ = FixedAt<std::uint64_t>(head, header::kFolderRows);
    const std::uint64_t frames = (entries_ + kEntriesPerSizeFrame - 1) / kEntriesPerSizeFrame;
    const std::uint64_t chunks = (folders_ + kFoldersPerSizeChunk - 1) / kFoldersPerSizeChunk;
    if (FixedAt<std::uint64_t>(head, header::kSize) != size || tableAt > size ||
        folderRowsAt_ != tableAt + frames * kFrameRowBytes + 8 || folders_ > size / 44 ||
        folderRowsAt_ + folders_ * kFolderTotalsBytes + chunks * 4 != size) {
        ThrowSizesDamaged("its tables");
    }
    entryTable_ = Range(tableAt, folderRowsAt_);
    if (IndexChecksum(entryTable_) != FixedAt<std::uint32_t>(head, header::kTableChecksum)) {
        ThrowSizesDamaged("its entry table");
    }
}

std::string KeptSizes::Range(std::uint64_t at, std::uint64_t end) const {
    std::string bytes(end - at, '\0');
    if (runtime::ReadAt(fd_.Get(), at, bytes.data(), bytes.size()) != 0) {
        ThrowSizesDamaged("it cannot be read");
    }
    return bytes;
}

const std::vector<EntrySize>& KeptSizes::Frame(std::uint64_t number) const {
    if (number == frameNumber_) return frame_;
    frameNumber_ = UINT64_MAX;
    const std::size_t row = number * kFrameRowBytes;
    const auto begin = FixedAt<std::uint64_t>(entryTable_, row);
    const auto end = FixedAt<std::uint64_t>(entryTable_, row + kFrameRowBytes);
    if (begin > end || end > folderRowsAt_ || end - begin > (std::uint64_t{32} << 20)) {
        ThrowSizesDamaged("its entry table");
    }
    const std::string bytes = Range(begin, end);
    if (IndexChecksum(bytes) != FixedAt<std::uint32_t>(entryTable_, row + 8)) {
        ThrowSizesDamaged("an entry frame");
    }
    std::string rows;
    try {
        rows = DecompressFrame(bytes);
    } catch (const IndexDamaged&) {
        ThrowSizesDamaged("an entry frame");
    }
    frame_.clear();
    std::int64_t modified = 0;
    try {
        for (std::size_t at = 0; at < rows.size();) {
            EntrySize size;
            size.bytes = VarintAt(rows, at);
            size.blocks = VarintAt(rows, at);
            size.links = VarintAt(rows, at);
            modified += ZigzagAt(rows, at);
            size.modified = modified;
            frame_.push_back(size);
        }
    } catch (const IndexDamaged&) {
        ThrowSizesDamaged("an entry frame");
    }
    const std::uint64_t expected =
        std::min<std::uint64_t>(kEntriesPerSizeFrame, entries_ - number * kEntriesPerSizeFrame);
    if (frame_.size() != expected) ThrowSizesDamaged("an entry frame");
    frameNumber_ = number;
    return frame_;
}

void KeptSizes::EntrySizes(std::uint64_t first, std::uint64_t count,
                           std::vector<EntrySize>& out) const {
    if (first > entries_ || count > entries_ - first) ThrowSizesDamaged("an entry past its end");
    for (std::uint64_t entry = first; entry < first + count;) {
        const std::vector<EntrySize>& frame = Frame(entry / kEntriesPerSizeFrame);
        const std::uint64_t from = entry % kEntriesPerSizeFrame;
        const std::uint64_t take =
            std::min<std::uint64_t>(frame.size() - from, first + count - entry);
        out.insert(out.end(), frame.begin() + static_cast<std::ptrdiff_t>(from),
                   frame.begin() + static_cast<std::ptrdiff_t>(from + take));
        entry += take;
    }
}

FolderTotals KeptSizes::Folder(std::uint64_t number) const {
    if (number >= folders_) ThrowSizesDamaged("a folder past its end");
    const std::uint64_t chunk = number / kFoldersPerSizeChunk;
    if (chunk != chunkNumber_) {
        chunkNumber_ = UINT64_MAX;
        const std::uint64_t first = chunk * kFoldersPerSizeChunk;
        const std::uint64_t rows = std::min<std::uint64_t>(kFoldersPerSizeChunk, folders_ - first);
        chunk_ = Range(folderRowsAt_ + first * kFolderTotalsBytes,
                       folderRowsAt_ + (first + rows) * kFolderTotalsBytes);
        const std::uint64_t sumAt = folderRowsAt_ + folders_ * kFolderTotalsBytes + chunk * 4;
        if (IndexChecksum(chunk_) != FixedAt<std::uint32_t>(Range(sumAt, sumAt + 4), 0)) {
            ThrowSizesDamaged("a folder's totals");
        }
        chunkNumber_ = chunk;
    }
    const std::size_t at = (number % kFoldersPerSizeChunk) * kFolderTotalsBytes;
    FolderTotals folder;
    folder.entry = FixedAt<std::uint64_t>(chunk_, at);
    folder.bytes = FixedAt<std::uint64_t>(chunk_, at + 8);
    folder.blocks = FixedAt<std::uint64_t>(chunk_, at + 16);
    folder.files = FixedAt<std::uint64_t>(chunk_, at + 24);
    folder.folders = FixedAt<std::uint64_t>(chunk_, at + 32);
    if (folder.entry >= entries_ || folder.folders >= folders_ - number) {
        ThrowSizesDamaged("a folder's totals");
    }
    return folder;
}

}  // namespace quorvale::catalogue
