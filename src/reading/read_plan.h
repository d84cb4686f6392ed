// The walk's plan of what to read, owned by the walk's thread alone and touched by no other: the
// folders it is in, and below and beside them the folders it will reach next, requested ahead of
// it from the reader threads (see reader_pool.h) in its own depth-first order.
//
// After each step the walk tops the requests up: first the subfolders of its current folder and of
// the folders already read ahead below it, then the later subfolders of its ancestors, as far as
// the budgets allow. Every budget is charged when a request is made, and given back when the walk
// takes the folder or lets go of it:
//   - folders: at most foldersAhead (foldersAheadFromCache while reads come from the page cache)
//     requested or read ahead and not yet taken;
//   - bytes: each request is charged BytesPerFolder() and may read no more than that (a larger
//     folder is only opened, and the walk reads it when it gets there); when it is read the
//     charge becomes what it holds. So what is held ahead never exceeds bytesAhead; beside it the
//     walk holds only the folders on its own path;
//   - handles: two per request (its own, and its parent's, which a request may keep open after the
//     walk has let go of it), one once it is read; at most the budget it was given.
// The walk waits only for the folder it needs next. A folder it needs that nobody has requested is
// read by the walk itself or handed to a reader ahead of every other (the tuning's Handover).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <vector>

#include "reading/folder_read.h"
#include "reading/listing_options.h"
#include "reading/read_tuning.h"
#include "reading/reader_pool.h"

namespace quorvale::reading {

// A folder the walk is in or will reach: what was read of it and its handle, and its subfolders
// requested so far.
struct PlannedFolder {
    PlannedFolder* parent = nullptr;
    std::size_t index = 0;                 // among its parent's subfolders
    std::size_t depth = 0;                 // below the top of its walk
    FolderContents contents;               // once read; its handle moves to `handle`
    std::shared_ptr<FolderHandle> handle;  // while it holds one
    bool read = false;                     // `contents` holds its read (or the error that ended it)
    bool unread = false;  // opened but not read (too large to read ahead): ReadHere
    bool inWalk = false;  // the walk has taken it

  private:
    friend class ReadPlan;
    std::shared_ptr<ReadRequest> request;  // while it is requested and not yet collected
    std::vector<std::unique_ptr<PlannedFolder>> children;  // by subfolder index; null: none
    std::size_t passedBefore = 0;  // the walk has passed (or is in) the children before this
    std::size_t planFrom = 0;      // children before this are requested and fully planned
    bool fullyPlanned = false;     // read, and every subfolder below requested and read
    std::size_t chargedBytes = 0;  // its charges, while it is ahead
    std::size_t chargedHandles = 0;
    bool ahead = false;
    std::shared_ptr<const WalkOrder> order;  // where it comes in the walk, shared with its request
};

// What reading ahead has done so far, for tests and the bench.
struct ReadAheadStats {
    std::size_t mostBytesHeld = 0;  // names and entries read ahead plus the walk's own path
    std::size_t deepestAhead = 0;   // levels below the walk's current folder a request reached
    std::size_t mostReadsAtOnce = 0;
    std::size_t handedOver = 0;  // folders the walk needed and a reader read first of all
    std::size_t readByWalk = 0;  // folders the walk read itself
    std::size_t handedBack = 0;  // folders a reader could not open for want of handles
    std::size_t requested = 0;   // folders requested ahead of the walk
};

class ReadPlan {
  public:
    // `handles`: how many handles the requests may hold at once.
    ReadPlan(const ReadTuning& tuning, std::size_t handles);
    ~ReadPlan();
    ReadPlan(const ReadPlan&) = delete;
    ReadPlan& operator=(const ReadPlan&) = delete;

    // Starts a walk at a folder the walk has opened (by its path), and reads it (see ReadHere).
    PlannedFolder* EnterTop(FolderContents opened, const std::function<void()>& wait);

    // The walk needs the subfolder `index` of `folder`: lets go of every subfolder before it, and
    // returns it, taken by the walk. Its read is there when a reader did it (waiting for it,
    // calling `wait` every slice); otherwise (`read` false) the walk reads it with ReadHere.
    // What `wait` throws passes through.
    PlannedFolder* Take(PlannedFolder& folder, std::size_t index,
                        const std::function<void()>& wait);

    // Reads `folder` on the walk's thread: the folder open as `fd`, or (with -1) the one a reader
    // opened and left unread as too large. Sorts it too (a large folder on a reader, calling
    // `wait` meanwhile).
    void ReadHere(PlannedFolder& folder, runtime::UniqueFd fd, const std::function<void()>& wait);

    // Takes the entries of `folder`, the subfolder `name` of the folder open as `parentFd`, from
    // the earlier reading without reading it, when that holds it unchanged (see
    // TakeWithoutReading); false when the walk must open and read it.
    bool TakeHere(PlannedFolder& folder, int parentFd, const std::string& name);

    // The walk has left `folder`: it and everything planned below it are let go of.
    void Leave(PlannedFolder& folder);

    // Gives `folder` a handle, or takes it away (null; a reader closes the old one).
    void SetHandle(PlannedFolder& folder, std::shared_ptr<FolderHandle> handle);

    // Makes the requests the budgets allow, in the walk's order.
    void TopUp();
    // TopUp, if a read has finished since the last one: cheap enough to call while the walk lists
    // a folder's entries.
    void Poll() {
        if (pool_.ReadsFinished() != toppedUpAt_) TopUp();
    }

    // Closes at once the handles waiting for a reader to close them (the process is out of them).
    void CloseReleasedNow();
    // The process is out of handles: lets go of everything requested or read ahead (closing what
    // it can at once), and makes one request at a time for the rest of this walk.
    void FreeHandles();

    // Waits for the reads the readers are running to end (they hold handles until then), and
    // closes what they let go of.
    void AwaitReaders();

    ReadAheadStats Stats() const;
    // What the walks from now on leave out, so that it is never read ahead: subfolders whose name
    // the options exclude, and, staying on the top's device, what lies below a folder on another.
    void SetLeaveOut(const ListingOptions& options) { leaveOut_ = options; }
    // Handles the requests hold or may hold now.
    std::size_t HandlesCharged() const { return handlesCharged_; }

  private:
    bool HasRoom() const;
    bool PlanBelow(PlannedFolder& folder);
    PlannedFolder* NewChild(PlannedFolder& parent, std::size_t index);
    void Request(PlannedFolder& parent, std::size_t index);
    std::shared_ptr<ReadRequest> NewRequest(const PlannedFolder& parent, std::size_t index,
                                            PlannedFolder& child, std::size_t byteLimit) const;
    bool Collect(PlannedFolder& folder);
    void Keep(PlannedFolder& folder, FolderContents contents);
    void KeepReadByWalk(PlannedFolder& folder, FolderContents contents);
    void Release(std::unique_ptr<PlannedFolder>& folder);
    void Refund(PlannedFolder& folder);
    void Sweep();
    void NoteHeld();
    bool ReadsAreSlow() const;  // the recent reads came from a disk
    bool WalkReadsAreFast();
    // Whether the reads of late came from the page cache: the walk's own were fast and the
    // readers are not all at work for a disk.
    bool ReadsFromCache() const;
    void NoteRead(std::chrono::steady_clock::duration took, std::size_t entries);

    bool LeftOut(const PlannedFolder& folder, FolderEntry entry) const;

    ReadTuning tuning_;
    ListingOptions leaveOut_;
    dev_t topDevice_ = 0;  // of the folder the walk started from
    ReaderPool pool_;
    const std::size_t handleBudget_;
    std::size_t handles_;  // the budget, or less after the process ran out of handles
    std::list<std::unique_ptr<PlannedFolder>> tops_;
    PlannedFolder* walkTip_ = nullptr;                      // the folder the walk took last
    std::vector<std::shared_ptr<ReadRequest>> submitting_;  // made by a TopUp, submitted together
    // Cancelled requests a reader still runs, and what each was charged.
    struct Abandoned {
        std::shared_ptr<ReadRequest> request;
        std::size_t bytes;
        std::size_t handles;
    };
    std::vector<Abandoned> abandoned_;
    std::size_t foldersCharged_ = 0;
    std::size_t bytesCharged_ = 0;
    std::size_t handlesCharged_ = 0;
    std::size_t bytesHeldAhead_ = 0;  // what the folders read ahead hold (not charged)
    std::size_t bytesOnPath_ = 0;     // what the folders the walk is in hold
    // The share of recent reads slower than the tuning's slowRead, and whether it says that reads
    // come from a disk (above kSlowShare; from the page cache again below kFastShare).
    double slowShare_;
    bool readersAllAtWork_ = false;
    static constexpr double kSlowShare = 0.10;
    static constexpr double kFastShare = 0.02;
    static constexpr std::size_t kReadersFromCache = 2;
    std::chrono::steady_clock::duration walkRead_{};  // a moving average of the walk's own
    std::size_t sinceWalkTried_ = 0;
    static constexpr std::size_t kWalkRetryEvery = 64;
    ReadAheadStats stats_;
    std::uint64_t toppedUpAt_ = 0;  // the readers' finished reads at the last TopUp
};

}  // namespace quorvale::reading
