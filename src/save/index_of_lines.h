// The index of a listing, made from its lines as they are written into its list files, on a thread
// of its own: the walk's thread only copies each line into a batch and hands the batch over, so
// that building the index (its trigrams, posting lists and compression) costs the walk next to
// nothing where a second processor can take it. The builder thread owns the index's builder from
// its start to its end; without a thread to be had, the walk's own thread builds it, as it would
// in the same order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "catalogue/index_writer.h"
#include "catalogue/kept_listing.h"
#include "catalogue/listing_record.h"
#include "catalogue/size_file.h"
#include "listing/list_file_writer.h"
#include "runtime/text_output.h"
#include "runtime/unique_fd.h"

namespace quorvale::save {

class IndexOfLines {
  public:
    // Bytes of lines a batch holds before it is handed over, and batches handed over and not yet
    // built at most: what the walk may run ahead of the builder, charged when a batch is handed.
    static constexpr std::size_t kBatchBytes = std::size_t{32} << 10;
    static constexpr std::size_t kBatchesInFlight = 4;

    // `wait` is called every few milliseconds while the walk's thread waits for the builder to
    // make room; what it throws passes through Line. `beforeBatch` (for tests) is called on the
    // builder's thread before it builds each batch handed over.
    explicit IndexOfLines(std::function<void()> wait = {}, std::function<void()> beforeBatch = {});
    // Stops the builder, wakes it and waits for it: nothing of it outlives this.
    ~IndexOfLines();
    IndexOfLines(const IndexOfLines&) = delete;
    IndexOfLines& operator=(const IndexOfLines&) = delete;

    // Before the first line: what the index is made of is kept in `scratch` (a Save's is a file
    // without a name in its list folder, see runtime::FolderLock::OpenScratchFile), so that a
    // Save's memory does not grow with the tree; in memory when there is none.
    void KeepIn(runtime::UniqueFd scratch);
    // Before the first line, for a listing with details: the sizes of its entries and the totals
    // of its folders are made beside the index (see catalogue::SizesWriter), kept in `scratch`.
    void KeepSizesIn(runtime::UniqueFd scratch);
    // Before the first line, in a re-listing: the index of the earlier listing (which outlives
    // this) is followed (see catalogue::IndexWriter::Follow).
    void Follow(const catalogue::IndexFile& earlier) { builder_.Follow(earlier); }
    bool MakesSizes() const { return sizes_.has_value(); }
    // Each line as it is written, with what the walk noted of it. Throws what building the index
    // threw so far (runtime::RuntimeError), and what the wait throws.
    void Line(std::string_view line, const listing::LineDetails& noted);
    // The folder `folder` (numbered from 0 in the order of their lines) lacks something it holds.
    void CutShort(std::uint64_t folder);
    // Writes the index of the listing `record` describes to `out` once every line is built, from
    // any thread; returns its size. Throws runtime::RuntimeError.
    std::uint64_t Finish(const catalogue::ListingRecord& record, runtime::TextOutput& out);
    // Writes the sizes file of the listing `record` describes to `out`, once Finish returned;
    // returns its size. Throws runtime::RuntimeError.
    std::uint64_t FinishSizes(const catalogue::ListingRecord& record, runtime::TextOutput& out);
    // The folders the listing took from an earlier one and those it read, once Finish returned.
    std::uint64_t FoldersReused() const { return foldersReused_; }
    std::uint64_t FoldersRead() const { return foldersRead_; }

  private:
    // Lines as the walk's thread copied them: their bytes end to end, where each ends, what each
    // is, and the stamps of the folders among them.
    struct Batch {
        struct Noted {
            std::uint32_t end = 0;
            char entryKind = '?';
            std::uint32_t stamp = kNoStamp;    // in `stamps`
            std::uint32_t details = kNoStamp;  // in `details`
        };
        static constexpr std::uint32_t kNoStamp = UINT32_MAX;
        std::string text;
        std::vector<Noted> lines;
        std::vector<reading::FolderStamp> stamps;
        std::vector<reading::EntryDetails> details;  // where sizes are made
        std::vector<std::uint64_t> cutShort;
        bool Empty() const { return lines.empty() && cutShort.empty(); }
        // Empties it, keeping its room for the next lines.
        void Clear() {
            text.clear();
            lines.clear();
            stamps.clear();
            details.clear();
            cutShort.clear();
        }
    };

    void Hand(bool mayWait);
    void Build(const Batch& batch);
    void Work();
    void ThrowIfFailed();
    void StopBuilder() noexcept;

    std::function<void()> wait_;
    std::function<void()> beforeBatch_;
    Batch filling_;  // the walk's thread's

    // The builder's: the builder thread's while it runs, else the thread that calls.
    runtime::UniqueFd scratch_;  // before the builder that writes to it: closed after it goes
    catalogue::ListingLines meaning_;
    catalogue::IndexWriter builder_;
    std::optional<catalogue::SizesWriter> sizes_;
    std::string path_;
    std::uint64_t foldersReused_ = 0;
    std::uint64_t foldersRead_ = 0;

    // Shared with the builder thread, under mutex_.
    std::mutex mutex_;
    std::condition_variable handed_;  // a batch, or the stop
    std::condition_variable built_;   // a batch built, or a failure
    std::deque<Batch> queue_;
    // Batches built, kept for the walk's thread to fill again: no batch is allocated by one
    // thread and freed by the other, and none beyond the few in flight.
    std::vector<Batch> spare_;
    std::size_t building_ = 0;  // taken from the queue and not yet built
    bool stop_ = false;
    std::exception_ptr failed_;  // until the walk's thread throws it
    bool broken_ = false;        // once the builder failed: nothing more is built
    std::optional<std::thread> thread_;
    bool threadRefused_ = false;
};

}  // namespace quorvale::save
