// Writing an index (see index_format.h for its bytes) from a listing's entries as a Save makes
// them, in memory or, for a listing of any size, with its work kept in a scratch file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catalogue/index_scratch.h"
#include "catalogue/save_identity.h"
#include "reading/file_system.h"

namespace quorvale::catalogue {

class IndexFile;

// How many bytes of posting lists a builder that keeps its work in a scratch file holds in memory
// before it moves them there.
inline constexpr std::size_t kPostingBytesHeld = std::size_t{2} << 20;

// Builds an index from a listing's entries, given in listing order.
class IndexWriter {
  public:
    using Write = std::function<void(std::string_view bytes)>;

    // From now on (before the first entry) keeps what it has made in `scratch`, a file open for
    // reading and writing that nothing else uses (it is not closed here), rather than in memory:
    // each block and folder frame once made, and the posting lists whenever they hold more than
    // `postingBytesHeld` bytes. What it holds in memory then no longer grows with the listing,
    // but for a few bytes a block and a folder frame. Throws runtime::RuntimeError when the file
    // cannot be written or read back.
    void KeepIn(int scratch, std::size_t postingBytesHeld = kPostingBytesHeld);
    // From now on (before the first entry) follows `earlier`, the index of an earlier listing of
    // the same tree (checked whole when it was opened; it outlives this writer): while each block
    // made holds what the earlier block in its place holds, byte for byte, that block's frame is
    // taken as it is, its trigrams are not looked at, and when every block was the same the
    // earlier trigram table and posting lists (their checksums found right) are copied. From the
    // first block that differs, the trigrams of the blocks taken so far are noted from their own
    // bytes and the rest is built as without it: the index holds what it would hold either way.
    void Follow(const IndexFile& earlier) { earlier_ = &earlier; }
    // How many blocks were taken from the index followed.
    std::uint64_t BlocksTaken() const { return blocksTaken_; }
    // `path`: the entry's full path as a search matches it (a folder's without its closing "/");
    // `kind` what it is (see reading::Enumeration::CurrentKind); a folder's `stamp` where it was
    // entered.
    void Add(std::string_view path, bool isFolder, char kind,
             const reading::FolderStamp& stamp = {});
    // The folder `folder` (numbered from 0 in the order of their entries) lacks something it
    // holds; told at any time, before or after its entry.
    void CutShort(std::uint64_t folder) { cutShort_.push_back(folder); }
    // The index, for a listing whose list files hold `lines` lines and `bytes` bytes, written by
    // the Save `save`, told to `write` piece by piece in order; returns its size.
    std::uint64_t Finish(std::uint64_t lines, std::uint64_t bytes, const SaveIdentity& save,
                         const Write& write);
    // The same, as one string.
    std::string Finish(std::uint64_t lines, std::uint64_t bytes, const SaveIdentity& save);

  private:
    // Blocks or folder frames made and not yet written: in memory, or where each lies in the
    // scratch file.
    struct Frames {
        std::vector<std::string> held;
        std::vector<std::uint64_t> at;
        std::vector<std::uint32_t> sizes;
        std::vector<std::uint32_t> checksums;
        std::uint64_t bytes = 0;
        std::size_t Count() const { return checksums.size(); }
    };
    // Where a spilled run of posting lists lies in the scratch file.
    struct Run {
        std::uint64_t at = 0;
        std::uint64_t bytes = 0;
    };
    // The merged posting list of each trigram, in the order of the trigrams.
    using MergedList = std::function<void(std::uint32_t trigram, std::string_view list)>;

    void EndBlock();
    // Takes the frame of the block in this one's place in the index followed when it holds the
    // bytes of block_; false when it does not, or cannot be read.
    bool TakeEarlierBlock();
    // Ends following: the trigrams of the blocks taken so far and of block_ are noted.
    void StopFollowing();
    // Block `block`'s frame as kept (read into `room` from the scratch file).
    std::string_view KeptBlock(std::uint64_t block, std::string& room);
    // Notes the trigrams of the coded entries `coded` (a block's bytes) as block `block`'s.
    void NoteTrigramsOfBlock(std::string_view coded, std::uint64_t block);
    // Notes the trigrams of `path` from byte `shared` on (those before are the block's already:
    // the entry before began with them) as block `block`'s (the one being built, or in the
    // catching up of StopFollowing, one before it; blocks are told in ascending order): the block
    // joins each trigram's posting list once. A repeat within the block, as most are (a folder's
    // names share their endings and their folder), is told from seenInBlock_ at once; the rest
    // wait in the posting log.
    void NoteTrigramsOf(std::string_view path, std::size_t shared, std::uint64_t block);
    // Adds the postings of the log to the trigrams' lists, a trigram at a time, and empties it.
    void DrainPostingLog();
    // Drains the log, whose postings are now those of `block` and after, with room for `room`.
    void BeginPostingLog(std::uint64_t block, std::size_t room);
    void SortPostingLog();
    bool EarlierListsAreThese(std::uint64_t trigramTable, std::string& rows,
                              std::string& lists) const;
    void WidenTrigramSlots();
    void AddFolder(std::string_view path, char kind, const reading::FolderStamp& stamp);
    void EndFolderFrame();
    void Keep(Frames& frames, std::string frame);
    void Keep(Frames& frames, std::string frame, std::uint32_t checksum);
    void WriteFrames(Frames& frames, std::uint64_t at, const Write& write, std::string& table);
    void SpillPostingLists();
    std::vector<std::uint64_t> ListsByTrigram() const;
    std::vector<std::uint64_t> ListsForWriting();
    void EachMergedList(const std::vector<std::uint64_t>& held, const MergedList& told) const;
    std::string CutShortList();

    Frames blocks_;
    std::string block_;                   // the block being built
    const IndexFile* earlier_ = nullptr;  // followed, until a block differs
    std::uint64_t blocksTaken_ = 0;
    // Each trigram's posting list as it grows, as the index holds it (a posting costs a byte or
    // two, never a sort), and the last block in it + 1 (0: none yet), which it goes on from when
    // it was spilled.
    struct PostingList {
        std::uint32_t trigram = 0;
        std::uint32_t lastBlock = 0;
        std::string blocks;
    };
    std::vector<PostingList> lists_;
    std::size_t postingBytes_ = 0;  // in lists_
    // Where each trigram's list is in lists_: an open-addressed set of eight-byte slots (the
    // trigram + 1 in the low kKeyBits, 0 for an empty slot; the list's place above it), grown when
    // half full.
    static constexpr int kKeyBits = 25;
    std::vector<std::uint64_t> trigramSlots_ = std::vector<std::uint64_t>(4096);
    // The postings noted and not yet in their lists, each the trigram above kLogBlockBits and its
    // block less logFirstBlock_ below, in the order noted (each trigram's blocks ascend). Looking
    // each posting up in trigramSlots_ as it came missed the processor's caches two or three
    // times; sorted by trigram, each trigram of the log is looked up once.
    static constexpr int kLogBlockBits = 8;
    static constexpr std::uint64_t kLogBlockMask = (1u << kLogBlockBits) - 1;
    static constexpr std::size_t kPostingLogEntries = std::size_t{1} << 15;
    std::vector<std::uint32_t> postingLog_;  // its size its room; logged_ noted in it
    std::size_t logged_ = 0;
    std::vector<std::uint32_t> sortRoom_;
    std::uint64_t logFirstBlock_ = 0;
    // Trigrams the block being built holds, each where a hash of it says (trigram + 1, 0 none; a
    // trigram that lost its place to another is noted in the log again, and dropped when drained):
    // small enough for the processor's nearest cache, cleared with every block.
    static constexpr int kSeenInBlockBits = 12;
    std::vector<std::uint32_t> seenInBlock_ = std::vector<std::uint32_t>(1 << kSeenInBlockBits);
    std::string previous_;
    std::size_t inBlock_ = 0;
    std::uint64_t entries_ = 0;
    // The folders: their rows, kFoldersPerFrame to a frame, the frame being filled, and the
    // folders the latest one lies in (the length of each one's path in `folderPath_`, and its
    // number), for its parent.
    Frames folderFrames_;
    std::string folderRows_;
    std::uint64_t folders_ = 0;
    std::uint64_t lastFolderEntry_ = 0;
    std::vector<std::pair<std::size_t, std::uint64_t>> folderChain_;
    std::string folderPath_;
    std::vector<std::uint64_t> cutShort_;
    // The scratch file, if any, and the runs spilled there.
    std::optional<ScratchFile> scratch_;
    std::size_t postingBytesHeld_ = 0;
    std::vector<Run> runs_;
};

}  // namespace quorvale::catalogue
