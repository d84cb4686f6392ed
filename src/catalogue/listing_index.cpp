#include "catalogue/listing_index.h"

#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>

#include "catalogue/listing_find.h"
#include "runtime/path_join.h"

namespace quorvale::catalogue {

namespace {

constexpr std::string_view kMagic = "QVIDX003";
constexpr std::size_t kHeaderBytes = 120;
constexpr std::size_t kSaveIdentityAt = 96;
constexpr std::size_t kHeaderChecksumAt = 112;
constexpr int kCompressionLevel = 3;
constexpr std::size_t kBlockRowBytes = 12;    // u64 offset, u32 checksum
constexpr std::size_t kTrigramRowBytes = 20;  // u32 trigram, u32 list's checksum, u64 offset,
                                              // u32 the row's own checksum
// Blocks searched between two calls of the caller's check.
constexpr std::size_t kBlocksBetweenChecks = 32;

unsigned char Fold(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

std::uint32_t TrigramAt(std::string_view text, std::size_t at) {
    return static_cast<std::uint32_t>(Fold(static_cast<unsigned char>(text[at]))) << 16 |
           static_cast<std::uint32_t>(Fold(static_cast<unsigned char>(text[at + 1]))) << 8 |
           Fold(static_cast<unsigned char>(text[at + 2]));
}

// Where a trigram is looked for first in a set of `slots` (a power of two) of them: the high bits
// of a multiplicative hash, which depend on every byte of it.
std::size_t TrigramSlotOf(std::uint32_t key, std::size_t slots) {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >>
                                    (64 - std::countr_zero(slots)));
}

void PutLongVarint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out += static_cast<char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    out += static_cast<char>(value);
}

// Most numbers an index holds take one byte: those are put in place here.
inline void PutVarint(std::string& out, std::uint64_t value) {
    if (value < 0x80) {
        out += static_cast<char>(value);
    } else {
        PutLongVarint(out, value);
    }
}

// A block as the index holds it: one zstd frame, which names its own size. Compressed into room
// kept for the next block, and kept in a string of its own size: fresh memory costs a page fault
// a page.
std::string Compressed(const std::string& block) {
    thread_local const std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(
        ZSTD_createCCtx(), &ZSTD_freeCCtx);
    thread_local std::string room;
    const std::size_t bound = ZSTD_compressBound(block.size());
    if (room.size() < bound) room.resize(bound);
    const std::size_t size = ZSTD_compressCCtx(context.get(), room.data(), bound, block.data(),
                                               block.size(), kCompressionLevel);
    if (ZSTD_isError(size) != 0) {
        throw runtime::RuntimeError(
            runtime::InvalidProcedureCall,
            std::string("Cannot write the index: ") + ZSTD_getErrorName(size));
    }
    return std::string(room.data(), size);
}

// FNV-1a, 64 bits folded to 32: what tells a damaged block, list or row from a whole one.
std::uint32_t Checksum(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

void PutZigzag(std::string& out, std::int64_t value) {
    PutVarint(out,
              (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63));
}

// What an entry is, in the two bits the index keeps of it.
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

// Whether a name holds the sign a list file writes for a CR or an LF: its bytes in the listing are
// then not the name's own.
bool HoldsLineBreakSign(std::string_view name) {
    return name.find("\xE2\x90\x8A") != std::string_view::npos ||
           name.find("\xE2\x90\x8D") != std::string_view::npos;
}

// Whether the last part of `path` holds such a sign: the part is found from the end, and looked at
// for the sign's first byte, which most names lack.
bool NameHoldsLineBreakSign(std::string_view path) {
    const std::string_view name = runtime::LastPathPart(path);
    return std::memchr(name.data(), 0xE2, name.size()) != nullptr && HoldsLineBreakSign(name);
}

// How many bytes `a` and `b` begin with alike, compared eight at a time.
std::size_t SharedPrefix(std::string_view a, std::string_view b) {
    const std::size_t limit = std::min(a.size(), b.size());
    std::size_t at = 0;
    for (; at + 8 <= limit; at += 8) {
        std::uint64_t x = 0;
        std::uint64_t y = 0;
        std::memcpy(&x, a.data() + at, 8);
        std::memcpy(&y, b.data() + at, 8);
        if (x == y) continue;
        // The first byte that differs is the lowest of the eight on a little-endian processor.
        if constexpr (std::endian::native == std::endian::little) {
            return at + static_cast<std::size_t>(std::countr_zero(x ^ y)) / 8;
        }
        break;
    }
    while (at < limit && a[at] == b[at]) ++at;
    return at;
}

template <typename Number>
void PutFixed(std::string& out, Number value) {
    char bytes[sizeof(Number)];
    std::memcpy(bytes, &value, sizeof(Number));
    out.append(bytes, sizeof(Number));
}

[[noreturn]] void ScratchFailed(int err) {
    throw runtime::RuntimeError(
        runtime::ErrorNumberFromErrno(err),
        "Cannot write the index: its scratch file: " + runtime::SystemReason(err));
}

void WriteScratch(int fd, std::uint64_t at, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ScratchFailed(n < 0 ? errno : ENOSPC);
        bytes.remove_prefix(static_cast<std::size_t>(n));
        at += static_cast<std::uint64_t>(n);
    }
}

// Reads `count` bytes at `at` of the file open as `fd` into `into`: 0, or the errno of the read
// that failed (EIO when the file ends first).
int ReadAt(int fd, std::uint64_t at, char* into, std::size_t count) {
    for (std::size_t done = 0; done < count;) {
        const ssize_t n = ::pread(fd, into + done, count - done, static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

void ReadScratch(int fd, std::uint64_t at, std::size_t size, std::string& out) {
    out.resize(size);
    if (const int err = ReadAt(fd, at, out.data(), size); err != 0) ScratchFailed(err);
}

// One run of posting lists spilled to the scratch file, read back a trigram at a time through a
// window of `window` bytes: each list there is u32 trigram, u32 length, its bytes, in the order of
// the trigrams.
class SpilledRun {
  public:
    SpilledRun(int fd, std::uint64_t at, std::uint64_t bytes, std::size_t window)
        : fd_(fd), at_(at), left_(bytes), windowBytes_(window) {
        Next();
    }
    bool AtEnd() const { return atEnd_; }
    std::uint32_t Trigram() const { return trigram_; }
    // Appends the current list to `out`, and moves on to the next.
    void Take(std::string& out) {
        Consume(length_, &out);
        Next();
    }

  private:
    void Next() {
        atEnd_ = left_ == 0 && used_ == window_.size();
        if (atEnd_) return;
        header_.clear();
        Consume(8, &header_);
        std::memcpy(&trigram_, header_.data(), 4);
        std::memcpy(&length_, header_.data() + 4, 4);
    }

    void Consume(std::size_t bytes, std::string* out) {
        while (bytes > 0) {
            if (used_ == window_.size()) {
                if (left_ == 0) ScratchFailed(EIO);  // a run never ends inside a list
                const auto size =
                    static_cast<std::size_t>(std::min<std::uint64_t>(left_, windowBytes_));
                ReadScratch(fd_, at_, size, window_);
                at_ += size;
                left_ -= size;
                used_ = 0;
            }
            const std::size_t taken = std::min(bytes, window_.size() - used_);
            out->append(window_, used_, taken);
            used_ += taken;
            bytes -= taken;
        }
    }

    int fd_;
    std::uint64_t at_;    // of what is not yet in the window
    std::uint64_t left_;  // bytes not yet in the window
    std::size_t windowBytes_;
    std::string window_;
    std::string header_;  // of the current list
    std::size_t used_ = 0;
    bool atEnd_ = true;
    std::uint32_t trigram_ = 0;
    std::uint32_t length_ = 0;
};

}  // namespace

void ListingIndexBuilder::KeepIn(int scratch, std::size_t postingBytesHeld) {
    scratch_ = scratch;
    postingBytesHeld_ = postingBytesHeld;
    // Small pieces wait to be written together, up to a small share of what the lists may hold.
    scratchPendingBytes_ =
        std::clamp<std::size_t>(postingBytesHeld / 64, 256, std::size_t{32} << 10);
}

// Appends `bytes` to the scratch file; returns where they begin.
std::uint64_t ListingIndexBuilder::Scratch(std::string_view bytes) {
    const std::uint64_t at = scratchEnd_;
    scratchEnd_ += bytes.size();
    if (scratchPending_.size() + bytes.size() > scratchPendingBytes_) FlushScratch();
    if (bytes.size() < scratchPendingBytes_) {
        scratchPending_ += bytes;
    } else {
        WriteScratch(scratch_, at, bytes);
        scratchWritten_ = scratchEnd_;
    }
    return at;
}

void ListingIndexBuilder::FlushScratch() {
    WriteScratch(scratch_, scratchWritten_, scratchPending_);
    scratchWritten_ += scratchPending_.size();
    scratchPending_.clear();
}

void ListingIndexBuilder::Keep(Frames& frames, std::string frame) {
    frames.checksums.push_back(Checksum(frame));
    frames.bytes += frame.size();
    if (scratch_ < 0) {
        frames.held.push_back(std::move(frame));
        return;
    }
    frames.at.push_back(Scratch(frame));
    frames.sizes.push_back(static_cast<std::uint32_t>(frame.size()));
}

void ListingIndexBuilder::Add(std::string_view path, bool isFolder, char kind,
                              const reading::FolderStamp& stamp) {
    if (isFolder) {
        AddFolder(path, kind, stamp);
        // Its name cannot be told from the listing, nor can the entries of its parent.
        if ((kind != 'd' && kind != 'l') || NameHoldsLineBreakSign(path)) {
            if (folderChain_.size() >= 2) CutShort(folderChain_[folderChain_.size() - 2].second);
        }
    } else if (!folderChain_.empty() &&
               ((kind != 'f' && kind != 'l' && kind != 'o') || NameHoldsLineBreakSign(path))) {
        CutShort(folderChain_.back().second);
    }
    if (inBlock_ == 0) previous_.clear();
    std::string& block = block_;
    const std::size_t shared = SharedPrefix(path, previous_);
    PutVarint(block, shared);
    PutVarint(block, (path.size() - shared) << 3 | KindBits(kind) << 1 | (isFolder ? 1 : 0));
    block.append(path.substr(shared));
    // The trigrams of the bytes shared with the entry before are this block's already.
    const std::size_t first = shared >= 2 ? shared - 2 : 0;
    if (first + 3 <= path.size()) {
        std::uint32_t trigram = TrigramAt(path, first);
        NoteTrigram(trigram);
        for (std::size_t at = first + 3; at < path.size(); ++at) {
            trigram = (trigram << 8 | Fold(static_cast<unsigned char>(path[at]))) & 0xFFFFFF;
            NoteTrigram(trigram);
        }
    }
    previous_.resize(shared);
    previous_.append(path.substr(shared));
    ++entries_;
    if (++inBlock_ == kEntriesPerBlock) {
        EndBlock();
        if (scratch_ >= 0 && postingBytes_ > postingBytesHeld_) SpillPostingLists();
    }
}

// A folder's row, and where it stands among the folders it lies in.
void ListingIndexBuilder::AddFolder(std::string_view path, char kind,
                                    const reading::FolderStamp& stamp) {
    // The folders of the chain that `path` does not lie in are behind.
    const auto liesIn = [&](std::size_t length) {
        return path.size() > length && path.substr(0, length) == folderPath_.substr(0, length) &&
               (folderPath_[length - 1] == '/' || path[length] == '/');
    };
    while (!folderChain_.empty() && !liesIn(folderChain_.back().first)) folderChain_.pop_back();
    const std::uint64_t number = folders_++;
    PutVarint(folderRows_, entries_ - lastFolderEntry_);
    lastFolderEntry_ = entries_;
    PutVarint(folderRows_, folderChain_.empty() ? 0 : number - folderChain_.back().second);
    PutVarint(folderRows_, (stamp.known ? 1 : 0) | (kind == 'l' ? 2 : 0));
    if (stamp.known) {
        PutZigzag(folderRows_, static_cast<std::int64_t>(stamp.device));
        PutZigzag(folderRows_, static_cast<std::int64_t>(stamp.inode));
        PutZigzag(folderRows_, stamp.modified);
        PutZigzag(folderRows_, stamp.changed);
        PutZigzag(folderRows_, stamp.readAt);
    }
    const std::string_view name = runtime::LastPathPart(path);
    PutVarint(folderRows_, name.size());
    folderRows_.append(name);
    folderChain_.emplace_back(path.size(), number);
    folderPath_.assign(path);
    if (folders_ % kFoldersPerFrame == 0) EndFolderFrame();
}

void ListingIndexBuilder::EndFolderFrame() {
    Keep(folderFrames_, Compressed(folderRows_));
    folderRows_.clear();
}

void ListingIndexBuilder::EndBlock() {
    Keep(blocks_, Compressed(block_));
    block_.clear();  // its room is the next block's
    inBlock_ = 0;
}

// Where each list is in lists_, in the order of their trigrams.
std::vector<std::uint32_t> ListingIndexBuilder::ListsByTrigram() const {
    std::vector<std::uint32_t> order(lists_.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
    std::sort(order.begin(), order.end(), [this](std::uint32_t a, std::uint32_t b) {
        return lists_[a].trigram < lists_[b].trigram;
    });
    return order;
}

// Moves the posting lists to the scratch file as one run. Each trigram's slot keeps its last
// block, so the lists go on as differences: a trigram's whole list is its pieces end to end.
void ListingIndexBuilder::SpillPostingLists() {
    // Written a piece at a time, each list let go of once copied: the run is never whole in memory
    // beside the lists.
    constexpr std::size_t kPiece = std::size_t{64} << 10;
    std::string piece;
    const std::uint64_t at = scratchEnd_;
    for (const std::uint32_t i : ListsByTrigram()) {
        PostingList& list = lists_[i];
        if (list.blocks.empty()) continue;
        PutFixed(piece, list.trigram);
        PutFixed(piece, static_cast<std::uint32_t>(list.blocks.size()));
        piece += list.blocks;
        list.blocks = {};
        if (piece.size() >= kPiece) {
            Scratch(piece);
            piece.clear();
        }
    }
    Scratch(piece);
    runs_.push_back({at, scratchEnd_ - at});
    postingBytes_ = 0;
}

// Tells `told` each trigram's whole list, from the runs spilled and what is held, by trigram.
void ListingIndexBuilder::EachMergedList(const MergedList& told) const {
    std::vector<SpilledRun> runs;
    runs.reserve(runs_.size());
    // Each run's window a small share of what the lists may hold in memory.
    const std::size_t window =
        std::clamp<std::size_t>(postingBytesHeld_ / 64, 256, std::size_t{64} << 10);
    for (const Run& run : runs_) runs.emplace_back(scratch_, run.at, run.bytes, window);
    const std::vector<std::uint32_t> held = ListsByTrigram();
    std::string merged;
    for (const std::uint32_t i : held) {
        // Every trigram ever noted has its place in lists_, whether its list is held or spilled.
        const PostingList& list = lists_[i];
        merged.clear();
        for (SpilledRun& run : runs) {
            if (!run.AtEnd() && run.Trigram() == list.trigram) run.Take(merged);
        }
        if (merged.empty()) {  // nothing of it spilled: told as it is held
            told(list.trigram, list.blocks);
            continue;
        }
        merged += list.blocks;
        told(list.trigram, merged);
    }
}

// Notes that the block being built holds `trigram`: the block joins the trigram's posting list
// once.
void ListingIndexBuilder::NoteTrigram(std::uint32_t trigram) {
    const std::uint64_t key = trigram + 1;
    const std::uint64_t block = blocks_.Count();
    const std::uint64_t heldNow = key | (block + 1) << kKeyBits;
    const std::uint64_t keyMask = (std::uint64_t{1} << kKeyBits) - 1;
    const std::size_t mask = trigramSlots_.size() - 1;
    std::size_t slot = TrigramSlotOf(static_cast<std::uint32_t>(key), trigramSlots_.size());
    while ((trigramSlots_[slot] & keyMask) != key && trigramSlots_[slot] != 0) {
        slot = (slot + 1) & mask;
    }
    const std::uint64_t held = trigramSlots_[slot];
    if (held == heldNow) return;
    if (held == 0) {
        slotList_[slot] = static_cast<std::uint32_t>(lists_.size());
        lists_.push_back({trigram, {}});
    }
    // The first block whole, then each one less the one before.
    const std::uint64_t last = held >> kKeyBits;
    std::string& list = lists_[slotList_[slot]].blocks;
    const std::size_t before = list.size();
    PutVarint(list, block - (last == 0 ? 0 : last - 1));
    postingBytes_ += list.size() - before;
    trigramSlots_[slot] = heldNow;
    if (lists_.size() * 2 > trigramSlots_.size()) WidenTrigramSlots();
}

void ListingIndexBuilder::WidenTrigramSlots() {
    std::vector<std::uint64_t> wider(trigramSlots_.size() * 2);
    std::vector<std::uint32_t> widerList(wider.size());
    const std::size_t mask = wider.size() - 1;
    const std::uint64_t keyMask = (std::uint64_t{1} << kKeyBits) - 1;
    for (std::size_t held = 0; held < trigramSlots_.size(); ++held) {
        if (trigramSlots_[held] == 0) continue;
        const auto key = static_cast<std::uint32_t>(trigramSlots_[held] & keyMask);
        std::size_t slot = TrigramSlotOf(key, wider.size());
        while (wider[slot] != 0) slot = (slot + 1) & mask;
        wider[slot] = trigramSlots_[held];
        widerList[slot] = slotList_[held];
    }
    trigramSlots_ = std::move(wider);
    slotList_ = std::move(widerList);
}

// Writes `frames` (to be placed at `at`), letting go of each, and adds their rows to `table`:
// where each begins and its checksum, then where the last ends.
void ListingIndexBuilder::WriteFrames(Frames& frames, std::uint64_t at, const Write& write,
                                      std::string& table) {
    std::string room;
    for (std::size_t i = 0; i < frames.Count(); ++i) {
        PutFixed(table, at);
        PutFixed(table, frames.checksums[i]);
        if (scratch_ < 0) {
            write(frames.held[i]);
            at += frames.held[i].size();
            frames.held[i] = {};
            continue;
        }
        // Frames made one after the other lie one after the other: read together, up to 256 KiB.
        std::size_t last = i;
        std::uint64_t span = frames.sizes[i];
        while (last + 1 < frames.Count() &&
               frames.at[last + 1] == frames.at[last] + frames.sizes[last] &&
               span + frames.sizes[last + 1] <= (std::uint64_t{256} << 10)) {
            span += frames.sizes[++last];
        }
        ReadScratch(scratch_, frames.at[i], span, room);
        write(room);
        for (std::size_t k = i + 1; k <= last; ++k) {
            at += frames.sizes[k - 1];
            PutFixed(table, at);
            PutFixed(table, frames.checksums[k]);
        }
        at += frames.sizes[last];
        i = last;
    }
    PutFixed(table, at);
}

// The numbers of the folders cut short, ascending, as varint differences.
std::string ListingIndexBuilder::CutShortList() {
    std::sort(cutShort_.begin(), cutShort_.end());
    cutShort_.erase(std::unique(cutShort_.begin(), cutShort_.end()), cutShort_.end());
    std::string list;
    std::uint64_t previous = 0;
    for (const std::uint64_t folder : cutShort_) {
        PutVarint(list, folder - previous);
        previous = folder;
    }
    return list;
}

std::uint64_t ListingIndexBuilder::Finish(std::uint64_t lines, std::uint64_t bytes,
                                          const SaveIdentity& save, const Write& write) {
    if (inBlock_ != 0) EndBlock();
    if (!folderRows_.empty()) EndFolderFrame();
    if (scratch_ >= 0) FlushScratch();  // all of it is read back from here on
    // Where every part begins follows from the sizes of those before it.
    std::string trigramRows;
    std::uint64_t listBytes = 0;
    EachMergedList([&](std::uint32_t trigram, std::string_view list) {
        PutFixed(trigramRows, trigram);
        PutFixed(trigramRows, Checksum(list));
        PutFixed(trigramRows, listBytes);  // made absolute below
        PutFixed(trigramRows, std::uint32_t{0});
        listBytes += list.size();
    });
    const std::uint64_t trigrams = trigramRows.size() / kTrigramRowBytes;
    const std::uint64_t blockTable = kHeaderBytes + blocks_.bytes;
    const std::uint64_t trigramTable = blockTable + blocks_.Count() * kBlockRowBytes + 8;
    const std::uint64_t listsAt = trigramTable + trigrams * kTrigramRowBytes + 8;
    const std::uint64_t foldersAt = listsAt + listBytes;
    const std::uint64_t folderTable = foldersAt + folderFrames_.bytes;
    const std::uint64_t cutShortAt = folderTable + folderFrames_.Count() * kBlockRowBytes + 8;
    const std::string cutShort = CutShortList();
    const std::uint64_t size = cutShortAt + cutShort.size();

    std::string header(kMagic);
    PutFixed(header, lines);
    PutFixed(header, bytes);
    PutFixed(header, entries_);
    PutFixed(header, static_cast<std::uint32_t>(blocks_.Count()));
    PutFixed(header, static_cast<std::uint32_t>(trigrams));
    PutFixed(header, blockTable);
    PutFixed(header, trigramTable);
    PutFixed(header, size);
    PutFixed(header, folders_);
    PutFixed(header, folderTable);
    PutFixed(header, static_cast<std::uint32_t>(folderFrames_.Count()));
    PutFixed(header, Checksum(cutShort));
    PutFixed(header, cutShortAt);
    header.append(reinterpret_cast<const char*>(save.bytes.data()), save.bytes.size());
    PutFixed(header, Checksum(header));
    PutFixed(header, std::uint32_t{0});
    write(header);

    std::string table;
    WriteFrames(blocks_, kHeaderBytes, write, table);
    write(table);
    for (std::size_t row = 0; row < trigramRows.size(); row += kTrigramRowBytes) {
        std::uint64_t at = 0;
        std::memcpy(&at, trigramRows.data() + row + 8, 8);
        at += listsAt;
        std::memcpy(trigramRows.data() + row + 8, &at, 8);
        const std::uint32_t rowChecksum = Checksum(std::string_view(trigramRows).substr(row, 16));
        std::memcpy(trigramRows.data() + row + 16, &rowChecksum, 4);
    }
    PutFixed(trigramRows, listsAt + listBytes);
    write(trigramRows);
    trigramRows = {};
    EachMergedList([&write](std::uint32_t, std::string_view list) { write(list); });
    table.clear();
    WriteFrames(folderFrames_, foldersAt, write, table);
    write(table);
    write(cutShort);
    return size;
}

std::string ListingIndexBuilder::Finish(std::uint64_t lines, std::uint64_t bytes,
                                        const SaveIdentity& save) {
    std::string out;
    Finish(lines, bytes, save, [&out](std::string_view piece) { out += piece; });
    return out;
}

IndexDamaged::IndexDamaged(const std::string& why)
    : RuntimeError(runtime::InvalidProcedureCall, why) {}

std::vector<std::uint32_t> TrigramsOfPattern(std::string_view pattern, bool isShellPattern) {
    std::vector<std::uint32_t> trigrams;
    std::string run;
    const auto endRun = [&] {
        for (std::size_t at = 0; at + 3 <= run.size(); ++at) trigrams.push_back(TrigramAt(run, at));
        run.clear();
    };
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (!isShellPattern) {
            run += c;
        } else if (c == '\\' && i + 1 < pattern.size()) {
            run += pattern[++i];
        } else if (c == '*' || c == '?' || c == '[') {
            // A bracket may close or not; what follows it is not known to be plain.
            endRun();
            if (c == '[') break;
        } else {
            run += c;
        }
    }
    endRun();
    std::sort(trigrams.begin(), trigrams.end());
    trigrams.erase(std::unique(trigrams.begin(), trigrams.end()), trigrams.end());
    return trigrams;
}

namespace {

// Reading an index by its handle, a few bytes at a time where they are needed (a file replaced or
// cut short meanwhile gives errors, never a signal), every read checked against its bounds.
class IndexReader {
  public:
    IndexReader(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

    std::uint64_t Size() const { return size_; }
    // Bytes [at, end) of the index: its header, a table's rows, a posting list or a block.
    std::string Range(std::uint64_t at, std::uint64_t end) const {
        Within(at, end);
        if (end - at > kMostRangeBytes) Damaged("a block larger than a search reads");
        std::string bytes(end - at, '\0');
        Read(at, bytes.data(), bytes.size());
        return bytes;
    }
    // Checks that [at, end) lies in the index.
    void Within(std::uint64_t at, std::uint64_t end) const {
        if (at > end || end > size_) Damaged("an offset past its end");
    }
    [[noreturn]] static void Damaged(const std::string& why) {
        throw IndexDamaged("its index is damaged (" + why + ")");
    }

  private:
    static constexpr std::uint64_t kMostRangeBytes = 32 << 20;

    void Read(std::uint64_t at, void* into, std::size_t count) const {
        if (at > size_ || size_ - at < count) Damaged("past its end");
        if (ReadAt(fd_, at, static_cast<char*>(into), count) != 0) Damaged("it cannot be read");
    }

    int fd_;
    std::uint64_t size_;
};

// The number at `at` of bytes read from the index.
template <typename Number>
Number Field(std::string_view bytes, std::size_t at) {
    Number value;
    std::memcpy(&value, bytes.data() + at, sizeof(Number));
    return value;
}

// A varint of `bytes` at `at`, which it moves past it.
std::uint64_t Varint(std::string_view bytes, std::size_t& at) {
    std::uint64_t value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (at >= bytes.size()) IndexReader::Damaged("a number past its end");
        const auto byte = static_cast<unsigned char>(bytes[at++]);
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) return value;
    }
    IndexReader::Damaged("a number too long");
}

struct IndexHeader {
    std::uint64_t entries = 0;
    std::uint32_t blocks = 0;
    std::uint32_t trigrams = 0;
    std::uint64_t blockTable = 0;
    std::uint64_t trigramTable = 0;
    std::uint64_t folders = 0;
    std::uint64_t folderTable = 0;
    std::uint32_t folderFrames = 0;
    std::uint32_t cutShortChecksum = 0;
    std::uint64_t cutShortAt = 0;
};

IndexHeader ReadHeader(const IndexReader& reader, const IndexOfListing& listing) {
    if (reader.Size() < kHeaderBytes) throw IndexDamaged("its index is not one this version reads");
    const std::string head = reader.Range(0, kHeaderBytes);  // one read for all of it
    if (!head.starts_with(kMagic)) throw IndexDamaged("its index is not one this version reads");
    if (Field<std::uint32_t>(head, kHeaderChecksumAt) !=
        Checksum(std::string_view(head).substr(0, kHeaderChecksumAt))) {
        IndexReader::Damaged("its header");
    }
    if (Field<std::uint64_t>(head, 8) != listing.lines ||
        Field<std::uint64_t>(head, 16) != listing.listBytes ||
        head.compare(kSaveIdentityAt, listing.save.bytes.size(),
                     reinterpret_cast<const char*>(listing.save.bytes.data()),
                     listing.save.bytes.size()) != 0) {
        throw IndexDamaged("its index was written by another Save than its record");
    }
    IndexHeader header;
    header.entries = Field<std::uint64_t>(head, 24);
    header.blocks = Field<std::uint32_t>(head, 32);
    header.trigrams = Field<std::uint32_t>(head, 36);
    header.blockTable = Field<std::uint64_t>(head, 40);
    header.trigramTable = Field<std::uint64_t>(head, 48);
    header.folders = Field<std::uint64_t>(head, 64);
    header.folderTable = Field<std::uint64_t>(head, 72);
    header.folderFrames = Field<std::uint32_t>(head, 80);
    header.cutShortChecksum = Field<std::uint32_t>(head, 84);
    header.cutShortAt = Field<std::uint64_t>(head, 88);
    const std::uint64_t size = reader.Size();
    if (Field<std::uint64_t>(head, 56) != size) IndexReader::Damaged("its size");
    const auto fits = [size](std::uint64_t at, std::uint64_t count, std::size_t rowBytes) {
        return at <= size && size - at >= 8 && (size - at - 8) / rowBytes >= count;
    };
    if (!fits(header.blockTable, header.blocks, kBlockRowBytes) ||
        !fits(header.trigramTable, header.trigrams, kTrigramRowBytes) ||
        !fits(header.folderTable, header.folderFrames, kBlockRowBytes) ||
        header.cutShortAt > size ||
        header.blocks != (header.entries + kEntriesPerBlock - 1) / kEntriesPerBlock ||
        header.folderFrames != (header.folders + kFoldersPerFrame - 1) / kFoldersPerFrame) {
        IndexReader::Damaged("its tables");
    }
    return header;
}

// The rows of an index's trigram table, each checked as it is looked at, so a damaged one cannot
// lead a search astray unseen. A table of up to kWholeTableBytes is read in one go; a larger one a
// row at a time, as a search looks for its trigrams in it.
class TrigramRows {
  public:
    TrigramRows(const IndexReader& reader, const IndexHeader& header)
        : reader_(reader), header_(header) {
        const std::uint64_t bytes = std::uint64_t{header.trigrams} * kTrigramRowBytes + 8;
        if (bytes <= kWholeTableBytes) {
            whole_ = reader.Range(header.trigramTable, header.trigramTable + bytes);
        }
    }
    // Row `index` (of the header's count) with what follows it up to the offset after it: the
    // next row's offset, or the end the table is followed by.
    std::string_view Row(std::uint32_t index) {
        const std::uint64_t at = std::uint64_t{index} * kTrigramRowBytes;
        const std::uint64_t length =
            index + 1 == header_.trigrams ? kTrigramRowBytes + 8 : kTrigramRowBytes + 16;
        if (whole_.empty()) {
            row_ = reader_.Range(header_.trigramTable + at, header_.trigramTable + at + length);
        } else {
            row_.assign(std::string_view(whole_).substr(at, length));
        }
        if (Checksum(std::string_view(row_).substr(0, 16)) != Field<std::uint32_t>(row_, 16)) {
            IndexReader::Damaged("a row of its trigram table");
        }
        return row_;
    }
    // The offset that follows row `index`.
    std::uint64_t EndOf(std::string_view row, std::uint32_t index) const {
        return Field<std::uint64_t>(
            row, index + 1 == header_.trigrams ? kTrigramRowBytes : kTrigramRowBytes + 8);
    }

  private:
    static constexpr std::uint64_t kWholeTableBytes = 1 << 20;

    const IndexReader& reader_;
    const IndexHeader& header_;
    std::string whole_;
    std::string row_;
};

// The posting list of `trigram`, decoded; empty when no block holds it.
std::vector<std::uint32_t> PostingsOf(const IndexReader& reader, const IndexHeader& header,
                                      TrigramRows& rows, std::uint32_t trigram) {
    std::uint32_t low = 0;
    std::uint32_t high = header.trigrams;
    while (low < high) {
        const std::uint32_t middle = low + (high - low) / 2;
        if (Field<std::uint32_t>(rows.Row(middle), 0) < trigram) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    std::vector<std::uint32_t> blocks;
    if (low == header.trigrams) return blocks;
    const std::string_view row = rows.Row(low);
    if (Field<std::uint32_t>(row, 0) != trigram) return blocks;
    // The list ends where the next one begins.
    const std::string list = reader.Range(Field<std::uint64_t>(row, 8), rows.EndOf(row, low));
    if (Checksum(list) != Field<std::uint32_t>(row, 4)) IndexReader::Damaged("a posting list");
    std::uint64_t block = 0;
    for (std::size_t at = 0; at < list.size();) {
        block += Varint(list, at);
        if (block >= header.blocks || (!blocks.empty() && block <= blocks.back())) {
            IndexReader::Damaged("a posting list");
        }
        blocks.push_back(static_cast<std::uint32_t>(block));
    }
    return blocks;
}

// The blocks that may hold a match: those in the posting lists of every trigram, or all.
std::vector<std::uint32_t> CandidateBlocks(const IndexReader& reader, const IndexHeader& header,
                                           const std::vector<std::uint32_t>& trigrams) {
    std::vector<std::uint32_t> candidates;
    if (trigrams.empty()) {
        candidates.resize(header.blocks);
        for (std::uint32_t block = 0; block < header.blocks; ++block) candidates[block] = block;
        return candidates;
    }
    std::vector<std::vector<std::uint32_t>> lists;
    TrigramRows rows(reader, header);
    for (const std::uint32_t trigram : trigrams) {
        lists.push_back(PostingsOf(reader, header, rows, trigram));
        if (lists.back().empty()) return {};
    }
    std::sort(lists.begin(), lists.end(),
              [](const auto& a, const auto& b) { return a.size() < b.size(); });
    candidates = std::move(lists.front());
    for (std::size_t i = 1; i < lists.size() && !candidates.empty(); ++i) {
        std::vector<std::uint32_t> both;
        std::set_intersection(candidates.begin(), candidates.end(), lists[i].begin(),
                              lists[i].end(), std::back_inserter(both));
        candidates = std::move(both);
    }
    return candidates;
}

// A block's entries from its frame; a frame that is not whole, or that would be larger than a
// Save makes one, is a damaged index.
std::string Decompressed(std::string_view frame) {
    constexpr unsigned long long kMostBlockBytes = 32 << 20;
    const unsigned long long size = ZSTD_getFrameContentSize(frame.data(), frame.size());
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN ||
        size > kMostBlockBytes) {
        IndexReader::Damaged("a block that is not whole");
    }
    std::string block(static_cast<std::size_t>(size), '\0');
    const std::size_t made =
        ZSTD_decompress(block.data(), block.size(), frame.data(), frame.size());
    if (ZSTD_isError(made) != 0 || made != block.size())
        IndexReader::Damaged("a block that is not whole");
    return block;
}

// The entry of a decoded block at `at`, which it moves past it: its path into `path` (coded
// against the entry before, which `path` holds), and the rest of its code (kind, folder) returned.
std::uint64_t NextEntry(std::string_view block, std::size_t& at, std::string& path) {
    const std::uint64_t shared = Varint(block, at);
    const std::uint64_t rest = Varint(block, at);
    const std::uint64_t length = rest >> 3;
    if (shared > path.size() || length > block.size() - at) IndexReader::Damaged("a path");
    path.resize(shared);
    path.append(block.substr(at, length));
    at += length;
    return rest;
}

// Tells `found` the entries of one block `matcher` matches; false once `found` asked to stop.
bool SearchBlock(std::string_view block, const EntryMatcher& matcher, const IndexMatch& found,
                 std::string& path, std::uint64_t& count) {
    path.clear();
    for (std::size_t at = 0; at < block.size();) {
        const std::uint64_t rest = NextEntry(block, at, path);
        if (!matcher.Matches(path)) continue;
        ++count;
        const bool isFolder = (rest & 1) != 0;
        if (!isFolder || path.ends_with('/')) {
            if (!found(path)) return false;
            continue;
        }
        path += '/';
        const bool more = found(path);
        path.pop_back();
        if (!more) return false;
    }
    return true;
}

}  // namespace

namespace {

// Frame `number` of a table at `table` (rows of u64 offset and u32 checksum, then the end), as
// the index holds it, checked against its checksum: its row and the end that follows it in one
// read.
std::string FrameBytes(const IndexReader& reader, std::uint64_t table, std::uint64_t number) {
    const std::uint64_t at = table + kBlockRowBytes * number;
    const std::string row = reader.Range(at, at + kBlockRowBytes + 8);
    const std::string bytes =
        reader.Range(Field<std::uint64_t>(row, 0), Field<std::uint64_t>(row, kBlockRowBytes));
    if (Checksum(bytes) != Field<std::uint32_t>(row, 8)) IndexReader::Damaged("a block");
    return bytes;
}

// The same frame, checked and decompressed.
std::string FrameAt(const IndexReader& reader, std::uint64_t table, std::uint64_t number) {
    return Decompressed(FrameBytes(reader, table, number));
}

std::int64_t Zigzag(std::string_view bytes, std::size_t& at) {
    const std::uint64_t value = Varint(bytes, at);
    return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

// One folder's row of a folder frame, at `at`, which it moves past it.
IndexedFolder FolderRow(std::string_view rows, std::size_t& at, std::uint64_t number,
                        std::uint64_t& entry) {
    IndexedFolder folder;
    entry += Varint(rows, at);
    folder.entry = entry;
    const std::uint64_t parentBack = Varint(rows, at);
    if (parentBack > number) IndexReader::Damaged("a folder's parent");
    folder.parent = parentBack == 0 ? 0 : number - parentBack + 1;
    const std::uint64_t flags = Varint(rows, at);
    if (flags > 3) IndexReader::Damaged("a folder's row");
    folder.kind = (flags & 2) != 0 ? 'l' : 'd';
    if ((flags & 1) != 0) {
        folder.stamp.device = static_cast<std::uint64_t>(Zigzag(rows, at));
        folder.stamp.inode = static_cast<std::uint64_t>(Zigzag(rows, at));
        folder.stamp.modified = Zigzag(rows, at);
        folder.stamp.changed = Zigzag(rows, at);
        folder.stamp.readAt = Zigzag(rows, at);
        folder.stamp.known = true;
    }
    const std::uint64_t length = Varint(rows, at);
    if (length > rows.size() - at) IndexReader::Damaged("a folder's name");
    folder.name.assign(rows.substr(at, length));
    at += length;
    return folder;
}

// Marks the folders of the cut-short list.
void ReadCutShort(const IndexReader& reader, const IndexHeader& header,
                  std::vector<IndexedFolder>& folders) {
    const std::string list = reader.Range(header.cutShortAt, reader.Size());
    if (Checksum(list) != header.cutShortChecksum) IndexReader::Damaged("its cut-short list");
    std::uint64_t folder = 0;
    for (std::size_t at = 0; at < list.size();) {
        folder += Varint(list, at);
        if (folder >= folders.size()) IndexReader::Damaged("its cut-short list");
        folders[folder].cutShort = true;
    }
}

}  // namespace

std::optional<IndexOfListing> IndexOfRecord(const ListingRecord& record) {
    if (!record.indexSave) return std::nullopt;
    return IndexOfListing{record.indexBytes, record.lines, record.bytes, *record.indexSave};
}

std::vector<IndexedFolder> ReadIndexedFolders(int fd, const IndexOfListing& listing) {
    const IndexReader reader(fd, listing.size);
    const IndexHeader header = ReadHeader(reader, listing);
    std::vector<IndexedFolder> folders;
    std::uint64_t entry = 0;
    for (std::uint32_t frame = 0; frame < header.folderFrames; ++frame) {
        const std::string rows = FrameAt(reader, header.folderTable, frame);
        for (std::size_t at = 0; at < rows.size();) {
            folders.push_back(FolderRow(rows, at, folders.size(), entry));
        }
    }
    if (folders.size() != header.folders) IndexReader::Damaged("its folder count");
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const std::uint64_t next = i + 1 < folders.size() ? folders[i + 1].entry : header.entries;
        if (next <= folders[i].entry || next > header.entries) {
            IndexReader::Damaged("a folder's entries");
        }
        folders[i].files = next - folders[i].entry - 1;
    }
    ReadCutShort(reader, header, folders);
    return folders;
}

void CheckIndexedBlocks(int fd, const IndexOfListing& listing) {
    const IndexReader reader(fd, listing.size);
    const IndexHeader header = ReadHeader(reader, listing);
    for (std::uint32_t block = 0; block < header.blocks; ++block) {
        FrameBytes(reader, header.blockTable, block);
    }
}

IndexedBlock ReadIndexedBlock(int fd, const IndexOfListing& listing, std::uint64_t entry) {
    const IndexReader reader(fd, listing.size);
    const IndexHeader header = ReadHeader(reader, listing);
    if (entry >= header.entries) IndexReader::Damaged("an entry past its end");
    const std::uint64_t number = entry / kEntriesPerBlock;
    const std::string block = FrameAt(reader, header.blockTable, number);
    IndexedBlock decoded;
    decoded.first = number * kEntriesPerBlock;
    std::string path;
    for (std::size_t at = 0; at < block.size();) {
        const std::uint64_t rest = NextEntry(block, at, path);
        decoded.names.append(runtime::LastPathPart(path));
        decoded.ends.push_back(static_cast<std::uint32_t>(decoded.names.size()));
        decoded.kinds += KindOf((rest >> 1) & 3, (rest & 1) != 0);
    }
    const std::uint64_t expected =
        std::min<std::uint64_t>(kEntriesPerBlock, header.entries - decoded.first);
    if (decoded.Count() != expected) IndexReader::Damaged("a block's entries");
    return decoded;
}

std::uint64_t SearchIndex(int fd, const IndexOfListing& listing, const EntryMatcher& matcher,
                          const IndexMatch& found, const std::function<void()>& check,
                          std::uint64_t* blocksDecoded) {
    const IndexReader reader(fd, listing.size);
    const IndexHeader header = ReadHeader(reader, listing);
    const std::vector<std::uint32_t> candidates = CandidateBlocks(
        reader, header, TrigramsOfPattern(matcher.Query().pattern, matcher.IsShellPattern()));
    std::uint64_t count = 0;
    std::string path;
    std::size_t searched = 0;
    for (const std::uint32_t block : candidates) {
        if (check && ++searched % kBlocksBetweenChecks == 0) check();
        if (blocksDecoded != nullptr) ++*blocksDecoded;
        if (!SearchBlock(FrameAt(reader, header.blockTable, block), matcher, found, path, count))
            break;
    }
    return count;
}

}  // namespace quorvale::catalogue
