#include "catalogue/index_writer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <utility>

#include "catalogue/index_file.h"
#include "catalogue/index_format.h"
#include "listing/list_file_writer.h"
#include "runtime/path_join.h"
#include "runtime/runtime_error.h"

namespace quorvale::catalogue {

namespace {

// Where a trigram is looked for first in a set of `slots` (a power of two) of them: the high bits
// of a multiplicative hash, which depend on every byte of it.
std::size_t TrigramSlotOf(std::uint32_t key, std::size_t slots) {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >>
                                    (64 - std::countr_zero(slots)));
}

// Whether the last part of `path` holds such a sign. Most paths lack the sign's first byte
// anywhere: the last part is looked for only in those that hold it.
bool NameHoldsLineBreakSign(std::string_view path) {
    if (std::memchr(path.data(), 0xE2, path.size()) == nullptr) return false;
    return listing::HoldsLineBreakSign(runtime::LastPathPart(path));
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

}  // namespace

void IndexWriter::KeepIn(int scratch, std::size_t postingBytesHeld) {
    postingBytesHeld_ = postingBytesHeld;
    // Small pieces wait to be written together, up to a small share of what the lists may hold.
    scratch_.emplace(scratch,
                     std::clamp<std::size_t>(postingBytesHeld / 64, 256, std::size_t{32} << 10));
}

void IndexWriter::Keep(Frames& frames, std::string frame) {
    const std::uint32_t checksum = IndexChecksum(frame);
    Keep(frames, std::move(frame), checksum);
}

void IndexWriter::Keep(Frames& frames, std::string frame, std::uint32_t checksum) {
    frames.checksums.push_back(checksum);
    frames.bytes += frame.size();
    if (!scratch_) {
        frames.held.push_back(std::move(frame));
        return;
    }
    frames.at.push_back(scratch_->Append(frame));
    frames.sizes.push_back(static_cast<std::uint32_t>(frame.size()));
}

void IndexWriter::Add(std::string_view path, bool isFolder, char kind,
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
    // A block that may be the followed index's has its trigrams noted only once it is not.
    if (earlier_ == nullptr) NoteTrigramsOf(path, shared, blocks_.Count());
    previous_.resize(shared);
    previous_.append(path.substr(shared));
    ++entries_;
    if (++inBlock_ == kEntriesPerBlock) {
        EndBlock();
        if (scratch_ && postingBytes_ > postingBytesHeld_) SpillPostingLists();
    }
}

// A folder's row, and where it stands among the folders it lies in.
void IndexWriter::AddFolder(std::string_view path, char kind, const reading::FolderStamp& stamp) {
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

void IndexWriter::EndFolderFrame() {
    Keep(folderFrames_, CompressFrame(folderRows_));
    folderRows_.clear();
}

void IndexWriter::NoteTrigramsOf(std::string_view path, std::size_t shared, std::uint64_t block) {
    // The trigrams of the bytes shared with the entry before are this block's already.
    const std::size_t first = shared >= 2 ? shared - 2 : 0;
    if (first + 3 > path.size()) return;
    const std::size_t most = path.size() - first - 2;
    // (A block before logFirstBlock_, never told, would begin a new log too.)
    if (block - logFirstBlock_ > kLogBlockMask || logged_ + most > postingLog_.size()) {
        BeginPostingLog(block, most);
    }
    // Each trigram is written to the log, and the log goes on past it when the block had not
    // been seen to hold it: no branch on what cannot be foretold.
    std::uint32_t* const log = postingLog_.data();
    std::uint32_t* end = log + logged_;
    const auto offset = static_cast<std::uint32_t>(block - logFirstBlock_);
    const auto note = [&](std::uint32_t trigram) {
        const std::uint32_t key = trigram + 1;
        std::uint32_t& seen = seenInBlock_[(key * 0x9E3779B1u) >> (32 - kSeenInBlockBits)];
        *end = trigram << kLogBlockBits | offset;
        end += seen != key ? 1 : 0;
        seen = key;
    };
    std::uint32_t trigram = TrigramAt(path, first);
    note(trigram);
    for (std::size_t at = first + 3; at < path.size(); ++at) {
        trigram = (trigram << 8 | FoldForTrigram(static_cast<unsigned char>(path[at]))) & 0xFFFFFF;
        note(trigram);
    }
    logged_ = static_cast<std::size_t>(end - log);
}

void IndexWriter::NoteTrigramsOfBlock(std::string_view coded, std::uint64_t block) {
    std::string path;
    for (std::size_t at = 0; at < coded.size();) {
        std::size_t sharedAt = at;
        const std::uint64_t shared = VarintAt(coded, sharedAt);
        NextIndexedPath(coded, at, path);
        NoteTrigramsOf(path, shared, block);
    }
}

void IndexWriter::EndBlock() {
    if (earlier_ != nullptr && TakeEarlierBlock()) {
        block_.clear();  // nothing of it was noted
        inBlock_ = 0;
        return;
    }
    if (earlier_ != nullptr) StopFollowing();
    Keep(blocks_, CompressFrame(block_));
    block_.clear();  // its room is the next block's
    inBlock_ = 0;
    std::fill(seenInBlock_.begin(), seenInBlock_.end(), 0);
}

bool IndexWriter::TakeEarlierBlock() {
    const std::uint64_t number = blocks_.Count();
    if (number >= earlier_->Header().blocks) return false;
    std::string frame;
    std::uint32_t checksum = 0;
    try {
        frame = earlier_->FrameBytes(earlier_->Header().blockTable, number, &checksum);
        if (DecompressFrame(frame) != block_) return false;
    } catch (const IndexDamaged&) {
        return false;  // it changed since it was checked: this block and the rest are made here
    }
    Keep(blocks_, std::move(frame), checksum);
    ++blocksTaken_;
    return true;
}

std::string_view IndexWriter::KeptBlock(std::uint64_t block, std::string& room) {
    if (!scratch_) return blocks_.held[block];
    scratch_->Flush();
    scratch_->Read(blocks_.at[block], blocks_.sizes[block], room);
    return room;
}

void IndexWriter::StopFollowing() {
    earlier_ = nullptr;
    std::string room;
    for (std::uint64_t block = 0; block < blocks_.Count(); ++block) {
        NoteTrigramsOfBlock(DecompressFrame(KeptBlock(block, room)), block);
        std::fill(seenInBlock_.begin(), seenInBlock_.end(), 0);
        if (scratch_ && postingBytes_ > postingBytesHeld_) SpillPostingLists();
    }
    NoteTrigramsOfBlock(block_, blocks_.Count());
}

// Each list's trigram above its place in lists_ (the low 32 bits), in the order of the trigrams:
// sorted as one number, without a look into lists_ for each compare.
std::vector<std::uint64_t> IndexWriter::ListsByTrigram() const {
    std::vector<std::uint64_t> keyed(lists_.size());
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        keyed[i] = std::uint64_t{lists_[i].trigram} << 32 | i;
    }
    std::sort(keyed.begin(), keyed.end());
    return keyed;
}

// Moves the posting lists to the scratch file as one run. Each list keeps its last block, so the
// lists go on as differences: a trigram's whole list is its pieces end to end.
void IndexWriter::SpillPostingLists() {
    DrainPostingLog();
    // Written a piece at a time, each list let go of once copied: the run is never whole in memory
    // beside the lists.
    constexpr std::size_t kPiece = std::size_t{64} << 10;
    std::string piece;
    const std::uint64_t at = scratch_->End();
    for (const std::uint64_t keyed : ListsByTrigram()) {
        PostingList& list = lists_[static_cast<std::uint32_t>(keyed)];
        if (list.blocks.empty()) continue;
        PutFixed(piece, list.trigram);
        PutFixed(piece, static_cast<std::uint32_t>(list.blocks.size()));
        piece += list.blocks;
        list.blocks = {};
        if (piece.size() >= kPiece) {
            scratch_->Append(piece);
            piece.clear();
        }
    }
    scratch_->Append(piece);
    runs_.push_back({at, scratch_->End() - at});
    postingBytes_ = 0;
}

// Once every trigram was noted: where each list is in lists_, in the order of their trigrams; what
// only noting needs is let go of, its room the trigram table's.
std::vector<std::uint64_t> IndexWriter::ListsForWriting() {
    DrainPostingLog();
    postingLog_ = {};
    sortRoom_ = {};
    trigramSlots_ = {};
    return ListsByTrigram();
}

// Tells `told` each trigram's whole list, from the runs spilled and what is held (`held`, the lists
// in the order of their trigrams, as ListsByTrigram tells them), by trigram.
void IndexWriter::EachMergedList(const std::vector<std::uint64_t>& held,
                                 const MergedList& told) const {
    std::vector<SpilledRun> runs;
    runs.reserve(runs_.size());
    // Each run's window a small share of what the lists may hold in memory.
    const std::size_t window =
        std::clamp<std::size_t>(postingBytesHeld_ / 64, 256, std::size_t{64} << 10);
    for (const Run& run : runs_) runs.emplace_back(*scratch_, run.at, run.bytes, window);
    std::string merged;
    for (const std::uint64_t keyed : held) {
        // Every trigram ever noted has its place in lists_, whether its list is held or spilled.
        const PostingList& list = lists_[static_cast<std::uint32_t>(keyed)];
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

// Sorts the log by trigram, keeping each trigram's postings in the order noted: a byte at a time
// from the lowest of the trigram's, each pass stable.
void IndexWriter::SortPostingLog() {
    constexpr int kPasses = 3;
    std::array<std::array<std::uint32_t, 256>, kPasses> counts{};
    for (std::size_t i = 0; i < logged_; ++i) {
        for (int pass = 0; pass < kPasses; ++pass) {
            ++counts[pass][(postingLog_[i] >> (kLogBlockBits + 8 * pass)) & 0xFF];
        }
    }
    sortRoom_.resize(postingLog_.size());  // the same room, as they change places
    for (int pass = 0; pass < kPasses; ++pass) {
        std::array<std::uint32_t, 256>& at = counts[pass];
        // A pass in which every posting has the same byte leaves the order as it is.
        if (std::find(at.begin(), at.end(), logged_) != at.end()) continue;
        std::uint32_t sum = 0;
        for (std::uint32_t& count : at) sum += std::exchange(count, sum);
        const int shift = kLogBlockBits + 8 * pass;
        for (std::size_t i = 0; i < logged_; ++i) {
            const std::uint32_t posting = postingLog_[i];
            sortRoom_[at[(posting >> shift) & 0xFF]++] = posting;
        }
        postingLog_.swap(sortRoom_);
    }
}

void IndexWriter::BeginPostingLog(std::uint64_t block, std::size_t room) {
    DrainPostingLog();
    postingLog_.resize(std::max({postingLog_.size(), kPostingLogEntries, room}));
    logFirstBlock_ = block;
}

void IndexWriter::DrainPostingLog() {
    if (logged_ == 0) return;
    SortPostingLog();
    const std::uint64_t keyMask = (std::uint64_t{1} << kKeyBits) - 1;
    const std::size_t count = logged_;
    // The slots of the trigrams a few ahead are asked of the memory while these are looked up:
    // in the order of the trigrams, the slots are scattered across the table.
    constexpr int kAhead = 8;
    std::size_t ahead = 0;
    const auto lookAhead = [&] {
        if (ahead >= count) return;
        const std::uint32_t trigram = postingLog_[ahead] >> kLogBlockBits;
        const std::size_t home = TrigramSlotOf(trigram + 1, trigramSlots_.size());
        __builtin_prefetch(&trigramSlots_[home]);
        while (ahead < count && postingLog_[ahead] >> kLogBlockBits == trigram) ++ahead;
    };
    for (int i = 0; i < kAhead; ++i) lookAhead();
    for (std::size_t next = 0; next < count;) {
        lookAhead();
        const std::uint32_t trigram = postingLog_[next] >> kLogBlockBits;
        const std::uint64_t key = trigram + 1;
        const std::size_t mask = trigramSlots_.size() - 1;
        std::size_t slot = TrigramSlotOf(static_cast<std::uint32_t>(key), trigramSlots_.size());
        while ((trigramSlots_[slot] & keyMask) != key && trigramSlots_[slot] != 0) {
            slot = (slot + 1) & mask;
        }
        if (trigramSlots_[slot] == 0) {
            trigramSlots_[slot] = key | std::uint64_t{lists_.size()} << kKeyBits;
            lists_.push_back({trigram, 0, {}});
        }
        // The first block whole, then each one less the one before; a block the list ends with
        // already (noted twice within it) is not added again.
        PostingList& list = lists_[trigramSlots_[slot] >> kKeyBits];
        std::uint64_t last = list.lastBlock;
        const std::size_t before = list.blocks.size();
        for (; next < count && postingLog_[next] >> kLogBlockBits == trigram; ++next) {
            const std::uint64_t block = logFirstBlock_ + (postingLog_[next] & kLogBlockMask);
            if (block + 1 == last) continue;
            PutVarint(list.blocks, block - (last == 0 ? 0 : last - 1));
            last = block + 1;
        }
        postingBytes_ += list.blocks.size() - before;
        // (Blocks are counted in 32 bits in the index's header.)
        list.lastBlock = static_cast<std::uint32_t>(last);
        if (lists_.size() * 2 > trigramSlots_.size()) WidenTrigramSlots();
    }
    logged_ = 0;
}

void IndexWriter::WidenTrigramSlots() {
    std::vector<std::uint64_t> wider(trigramSlots_.size() * 2);
    const std::size_t mask = wider.size() - 1;
    const std::uint64_t keyMask = (std::uint64_t{1} << kKeyBits) - 1;
    for (const std::uint64_t held : trigramSlots_) {
        if (held == 0) continue;
        std::size_t slot = TrigramSlotOf(static_cast<std::uint32_t>(held & keyMask), wider.size());
        while (wider[slot] != 0) slot = (slot + 1) & mask;
        wider[slot] = held;
    }
    trigramSlots_ = std::move(wider);
}

// Writes `frames` (to be placed at `at`), letting go of each, and adds their rows to `table`:
// where each begins and its checksum, then where the last ends.
void IndexWriter::WriteFrames(Frames& frames, std::uint64_t at, const Write& write,
                              std::string& table) {
    std::string room;
    for (std::size_t i = 0; i < frames.Count(); ++i) {
        PutFixed(table, at);
        PutFixed(table, frames.checksums[i]);
        if (!scratch_) {
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
        scratch_->Read(frames.at[i], span, room);
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
std::string IndexWriter::CutShortList() {
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

// Every block was taken from the index followed, so its tables lie where these will: its trigram
// rows (told to `rows`, without the end after them) and posting lists (told to `lists`) are this
// index's, once each row and list is found whole against its checksum. They are held as they were
// checked, and only when they are no more than the lists this writer would hold.
bool IndexWriter::EarlierListsAreThese(std::uint64_t trigramTable, std::string& rows,
                                       std::string& lists) const {
    const IndexHeader& header = earlier_->Header();
    if (blocksTaken_ != header.blocks || blocks_.Count() != blocksTaken_ ||
        entries_ != header.entries || header.trigramTable != trigramTable) {
        return false;
    }
    const std::uint64_t trigrams = header.trigrams;
    try {
        rows = earlier_->Range(trigramTable, trigramTable + trigrams * kTrigramRowBytes + 8);
        const std::uint64_t listsAt = trigramTable + rows.size();
        const std::uint64_t listsEnd = FixedAt<std::uint64_t>(rows, trigrams * kTrigramRowBytes);
        if (listsEnd < listsAt || (scratch_ && listsEnd - listsAt > postingBytesHeld_)) {
            return false;
        }
        rows.resize(trigrams * kTrigramRowBytes);
        lists = earlier_->Range(listsAt, listsEnd);
    } catch (const IndexDamaged&) {
        return false;
    }
    const auto listAt = [&](std::uint64_t row) {
        return FixedAt<std::uint64_t>(rows, row * kTrigramRowBytes + 8) - trigramTable -
               (trigrams * kTrigramRowBytes + 8);
    };
    const std::string_view allRows = rows;
    for (std::uint64_t row = 0; row < trigrams; ++row) {
        const std::string_view bytes = allRows.substr(row * kTrigramRowBytes, kTrigramRowBytes);
        const std::uint64_t at = listAt(row);
        const std::uint64_t end = row + 1 < trigrams ? listAt(row + 1) : lists.size();
        // The lists lie one after the other from the first row's on, and the trigrams ascend.
        if (FixedAt<std::uint32_t>(bytes, 16) != IndexChecksum(bytes.substr(0, 16)) ||
            (row == 0 && at != 0) || end <= at || end > lists.size() ||
            (row > 0 && FixedAt<std::uint32_t>(bytes, 0) <=
                            FixedAt<std::uint32_t>(allRows, (row - 1) * kTrigramRowBytes)) ||
            IndexChecksum(std::string_view(lists).substr(at, end - at)) !=
                FixedAt<std::uint32_t>(bytes, 4)) {
            return false;
        }
    }
    return true;
}

std::uint64_t IndexWriter::Finish(std::uint64_t lines, std::uint64_t bytes,
                                  const SaveIdentity& save, const Write& write) {
    if (inBlock_ != 0) EndBlock();
    if (!folderRows_.empty()) EndFolderFrame();
    // Where every part begins follows from the sizes of those before it.
    const std::uint64_t blockTable = kIndexHeaderBytes + blocks_.bytes;
    const std::uint64_t trigramTable = blockTable + blocks_.Count() * kFrameRowBytes + 8;
    std::string trigramRows;
    std::string earlierLists;  // when the earlier index's are these
    if (earlier_ != nullptr && !EarlierListsAreThese(trigramTable, trigramRows, earlierLists)) {
        trigramRows.clear();
        earlierLists.clear();
        StopFollowing();
    }
    std::uint64_t listBytes = earlierLists.size();
    const std::vector<std::uint64_t> byTrigram = ListsForWriting();
    if (scratch_) scratch_->Flush();  // all of it is read back from here on
    if (earlier_ == nullptr) {
        EachMergedList(byTrigram, [&](std::uint32_t trigram, std::string_view list) {
            PutFixed(trigramRows, trigram);
            PutFixed(trigramRows, IndexChecksum(list));
            PutFixed(trigramRows, listBytes);  // made absolute below
            PutFixed(trigramRows, std::uint32_t{0});
            listBytes += list.size();
        });
    }
    const std::uint64_t trigrams = trigramRows.size() / kTrigramRowBytes;
    const std::uint64_t listsAt = trigramTable + trigrams * kTrigramRowBytes + 8;
    const std::uint64_t foldersAt = listsAt + listBytes;
    const std::uint64_t folderTable = foldersAt + folderFrames_.bytes;
    const std::uint64_t cutShortAt = folderTable + folderFrames_.Count() * kFrameRowBytes + 8;
    const std::string cutShort = CutShortList();
    const std::uint64_t size = cutShortAt + cutShort.size();

    // Each field where the format places it (its last 4 bytes stay 0).
    namespace field = index_header;
    std::string header(kIndexHeaderBytes, '\0');
    header.replace(0, kIndexMagic.size(), kIndexMagic);
    SetFixedAt(header, field::kLines, lines);
    SetFixedAt(header, field::kBytes, bytes);
    SetFixedAt(header, field::kEntries, entries_);
    SetFixedAt(header, field::kBlocks, static_cast<std::uint32_t>(blocks_.Count()));
    SetFixedAt(header, field::kTrigrams, static_cast<std::uint32_t>(trigrams));
    SetFixedAt(header, field::kBlockTable, blockTable);
    SetFixedAt(header, field::kTrigramTable, trigramTable);
    SetFixedAt(header, field::kSize, size);
    SetFixedAt(header, field::kFolders, folders_);
    SetFixedAt(header, field::kFolderTable, folderTable);
    SetFixedAt(header, field::kFolderFrames, static_cast<std::uint32_t>(folderFrames_.Count()));
    SetFixedAt(header, field::kCutShortChecksum, IndexChecksum(cutShort));
    SetFixedAt(header, field::kCutShortAt, cutShortAt);
    header.replace(kIndexSaveIdentityAt, save.bytes.size(),
                   reinterpret_cast<const char*>(save.bytes.data()), save.bytes.size());
    SetFixedAt(header, kIndexHeaderChecksumAt,
               IndexChecksum(std::string_view(header).substr(0, kIndexHeaderChecksumAt)));
    write(header);

    std::string table;
    WriteFrames(blocks_, kIndexHeaderBytes, write, table);
    write(table);
    if (earlier_ != nullptr) {
        // The earlier rows lie where these do and name its lists where they lie: as they are.
        PutFixed(trigramRows, listsAt + listBytes);
        write(trigramRows);
        trigramRows = {};
        write(earlierLists);
        earlierLists = {};
    } else {
        for (std::size_t row = 0; row < trigramRows.size(); row += kTrigramRowBytes) {
            std::uint64_t at = 0;
            std::memcpy(&at, trigramRows.data() + row + 8, 8);
            at += listsAt;
            std::memcpy(trigramRows.data() + row + 8, &at, 8);
            const std::uint32_t rowChecksum =
                IndexChecksum(std::string_view(trigramRows).substr(row, 16));
            std::memcpy(trigramRows.data() + row + 16, &rowChecksum, 4);
        }
        PutFixed(trigramRows, listsAt + listBytes);
        write(trigramRows);
        trigramRows = {};
        EachMergedList(byTrigram, [&write](std::uint32_t, std::string_view list) { write(list); });
    }
    table.clear();
    WriteFrames(folderFrames_, foldersAt, write, table);
    write(table);
    write(cutShort);
    return size;
}

std::string IndexWriter::Finish(std::uint64_t lines, std::uint64_t bytes,
                                const SaveIdentity& save) {
    std::string out;
    Finish(lines, bytes, save, [&out](std::string_view piece) { out += piece; });
    return out;
}

}  // namespace quorvale::catalogue
