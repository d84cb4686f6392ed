#include "reading/read_plan.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>
#include <utility>

namespace quorvale::reading {

namespace {

// Calls `wait` when at least a slice has passed since it was last called.
class Pacer {
  public:
    Pacer(const std::function<void()>& wait, std::chrono::milliseconds slice)
        : wait_(wait), slice_(slice) {}
    void operator()() {
        if (!wait_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < slice_) return;
        wait_();
        last_ = std::chrono::steady_clock::now();
    }

  private:
    const std::function<void()>& wait_;
    const std::chrono::milliseconds slice_;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace

std::size_t ReadTuning::Threads() const {
    return std::clamp<std::size_t>(threadsPerCore * std::thread::hardware_concurrency(), minThreads,
                                   maxThreads);
}

ReadPlan::ReadPlan(const ReadTuning& tuning, std::size_t handles)
    : tuning_(tuning),
      pool_(tuning.Threads(), kReadersFromCache, tuning.readerNiceness, tuning.openDelay),
      handleBudget_(handles),
      handles_(handles),
      slowShare_(0.0) {}  // as if from the page cache: a few slow reads call every reader in

ReadPlan::~ReadPlan() {
    for (auto& top : tops_) Release(top);
    tops_.clear();
    // Cancelled requests still running hold what their readers let go of when they finish;
    // the pool's readers are joined with it.
}

PlannedFolder* ReadPlan::EnterTop(FolderContents opened, const std::function<void()>& wait) {
    // A walk begins with the whole handle budget, whatever the last one had to give up.
    if (tops_.empty()) handles_ = handleBudget_;
    auto top = std::make_unique<PlannedFolder>();
    topDevice_ = opened.st.st_dev;
    top->unread = true;
    top->contents = std::move(opened);
    top->inWalk = true;
    PlannedFolder* folder = top.get();
    walkTip_ = folder;
    tops_.push_back(std::move(top));
    ReadHere(*folder, runtime::UniqueFd(), wait);
    return folder;
}

// Moves what was read into `folder`; its handle apart, to be shared with the requests for its
// subfolders (a folder too large to read ahead keeps it in its contents, for the walk's read).
void ReadPlan::Keep(PlannedFolder& folder, FolderContents contents) {
    folder.contents = std::move(contents);
    if (folder.contents.fd && !folder.unread) {
        folder.handle = std::make_shared<FolderHandle>(std::move(folder.contents.fd));
    }
}

PlannedFolder* ReadPlan::NewChild(PlannedFolder& parent, std::size_t index) {
    if (parent.children.size() <= index) parent.children.resize(parent.contents.subfolders.size());
    auto child = std::make_unique<PlannedFolder>();
    child->parent = &parent;
    child->depth = parent.depth + 1;
    child->index = index;
    child->order = std::make_shared<const WalkOrder>(parent.order, index);
    PlannedFolder* made = child.get();
    parent.children[index] = std::move(child);
    return made;
}

bool ReadPlan::HasRoom() const {
    const std::size_t share = tuning_.BytesPerFolder();
    const std::size_t folders = readersAllAtWork_
                                    ? tuning_.foldersAhead
                                    : std::min(tuning_.foldersAhead, tuning_.foldersAheadFromCache);
    return share > 0 && foldersCharged_ < folders && bytesCharged_ + share <= tuning_.bytesAhead &&
           handlesCharged_ + 2 <= handles_;
}

// The request to read subfolder `index` of `parent` into `child`, which holds it from then on;
// `byteLimit` 0 reads it whatever its size.
std::shared_ptr<ReadRequest> ReadPlan::NewRequest(const PlannedFolder& parent, std::size_t index,
                                                  PlannedFolder& child,
                                                  std::size_t byteLimit) const {
    auto request = std::make_shared<ReadRequest>();
    request->contents.details = tuning_.entryDetails;
    request->contents.earlier = tuning_.earlierReading;
    request->parent = parent.handle;
    request->name = parent.contents.Name(parent.contents.subfolders[index]);
    request->byteLimit = byteLimit;
    request->order = child.order;
    child.request = request;
    return request;
}

void ReadPlan::Request(PlannedFolder& parent, std::size_t index) {
    PlannedFolder& child = *NewChild(parent, index);
    std::shared_ptr<ReadRequest> request =
        NewRequest(parent, index, child, tuning_.BytesPerFolder());
    child.ahead = true;
    child.chargedBytes = request->byteLimit;
    child.chargedHandles = 2;
    ++foldersCharged_;
    bytesCharged_ += child.chargedBytes;
    handlesCharged_ += child.chargedHandles;
    // How far below the folder the walk lists (the tip, or its parent while the walk waits for
    // the tip to be read).
    const PlannedFolder* listed = walkTip_;
    if (listed != nullptr && !listed->read && listed->parent != nullptr) listed = listed->parent;
    if (listed != nullptr && child.depth > listed->depth) {
        stats_.deepestAhead = std::max(stats_.deepestAhead, child.depth - listed->depth);
    }
    submitting_.push_back(std::move(request));
    ++stats_.requested;
}

// Takes a finished read into `folder`; false while it is not read yet.
bool ReadPlan::Collect(PlannedFolder& folder) {
    if (folder.read) return true;
    if (!folder.request || !folder.request->Done()) return false;
    ReadRequest& request = *folder.request;
    NoteRead(request.took, request.contents.Entries());
    folder.unread = request.tooLarge;
    if (request.contents.failure.OutOfHandles()) ++stats_.handedBack;
    Keep(folder, std::move(request.contents));
    folder.request.reset();
    folder.read = true;
    if (folder.ahead) {
        // The charges become what it holds: its names and entries, and its own handle.
        bytesCharged_ -= folder.chargedBytes;
        folder.chargedBytes = folder.contents.Bytes();
        bytesCharged_ += folder.chargedBytes;
        handlesCharged_ -= folder.chargedHandles;
        folder.chargedHandles = (folder.handle || folder.contents.fd) ? 1 : 0;
        handlesCharged_ += folder.chargedHandles;
        bytesHeldAhead_ += folder.contents.Bytes();
        NoteHeld();
    }
    return true;
}

// Gives back what a folder ahead of the walk was charged.
void ReadPlan::Refund(PlannedFolder& folder) {
    if (!folder.ahead) return;
    folder.ahead = false;
    --foldersCharged_;
    bytesCharged_ -= folder.chargedBytes;
    handlesCharged_ -= folder.chargedHandles;
    if (folder.read) bytesHeldAhead_ -= folder.contents.Bytes();
    folder.chargedBytes = 0;
    folder.chargedHandles = 0;
}

// Lets go of a folder the walk will not reach, and of everything planned below it: a request a
// reader still runs is cancelled (its charges stay until the reader has let go of it), handles go
// to the readers to close.
void ReadPlan::Release(std::unique_ptr<PlannedFolder>& folder) {
    if (!folder) return;
    for (auto& child : folder->children) Release(child);
    if (folder->request && !folder->read) {
        if (folder->request->Cancel()) {
            if (folder->ahead) {
                abandoned_.push_back(
                    {std::move(folder->request), folder->chargedBytes, folder->chargedHandles});
                folder->ahead = false;  // charged to the abandoned request from now on
            }
        } else {
            Collect(*folder);
        }
    }
    Refund(*folder);
    if (folder->inWalk && folder->read) bytesOnPath_ -= folder->contents.Bytes();
    pool_.Close(std::move(folder->handle));
    if (folder->contents.fd) {
        pool_.Close(std::make_shared<FolderHandle>(std::move(folder->contents.fd)));
    }
    if (walkTip_ == folder.get()) walkTip_ = folder->parent;
    folder.reset();
}

// Gives back the charges of cancelled requests whose readers have let go of them.
void ReadPlan::Sweep() {
    std::erase_if(abandoned_, [this](const Abandoned& abandoned) {
        if (!abandoned.request->Dropped()) return false;
        --foldersCharged_;
        bytesCharged_ -= abandoned.bytes;
        handlesCharged_ -= abandoned.handles;
        return true;
    });
}

bool ReadPlan::ReadsAreSlow() const {
    return readersAllAtWork_;
}

// Whether the walk's own reads come from the page cache, so that it had better read a folder no
// reader has begun than wait for one. Once its reads were slow it waits for the readers, but
// tries again now and then.
bool ReadPlan::ReadsFromCache() const {
    return !readersAllAtWork_ && walkRead_ <= tuning_.slowRead / 4;
}

bool ReadPlan::WalkReadsAreFast() {
    if (readersAllAtWork_) return false;
    if (ReadsFromCache()) return true;
    return ++sinceWalkTried_ % kWalkRetryEvery == 0;
}

// Keeps the share of recent reads that were slow, and as many readers at work as it calls for:
// every one while many reads come from a disk (they mostly wait for it), two while nearly all come
// from the page cache (more would only take turns on the processors with the walk). A share, not a
// mean, so that one read held up by a sync does not count as a disk. A large folder may take
// longer from the page cache, in proportion to its entries.
void ReadPlan::NoteRead(std::chrono::steady_clock::duration took, std::size_t entries) {
    const auto slowAfter = tuning_.slowRead + tuning_.slowReadPerEntry * entries;
    slowShare_ += ((took > slowAfter ? 1.0 : 0.0) - slowShare_) / 32;
    const bool slow = readersAllAtWork_ ? slowShare_ > kFastShare : slowShare_ > kSlowShare;
    if (slow != readersAllAtWork_) {
        readersAllAtWork_ = slow;
        pool_.SetConcurrency(slow ? tuning_.Threads() : kReadersFromCache);
    }
}

PlannedFolder* ReadPlan::Take(PlannedFolder& folder, std::size_t index,
                              const std::function<void()>& wait) {
    for (std::size_t i = folder.passedBefore; i < index && i < folder.children.size(); ++i) {
        Release(folder.children[i]);
    }
    folder.passedBefore = std::max(folder.passedBefore, index + 1);
    PlannedFolder* child = index < folder.children.size() ? folder.children[index].get() : nullptr;
    if (child == nullptr) {
        child = NewChild(folder, index);
        const bool toReader =
            folder.handle &&
            (tuning_.handover == ReadTuning::Handover::kAlwaysReader ||
             (tuning_.handover == ReadTuning::Handover::kByReadTime && ReadsAreSlow()));
        if (toReader) {
            // On the walk's path from now on: not charged as ahead, and read whatever its size.
            pool_.SubmitFirst(NewRequest(folder, index, *child, 0));
            ++stats_.handedOver;
        }
    }
    // From the page cache, a folder no reader has begun yet is read by the walk at once, rather
    // than waited for.
    if (child->request && !child->read && child->ahead && WalkReadsAreFast() &&
        tuning_.handover != ReadTuning::Handover::kAlwaysReader &&
        child->request->CancelUnstarted()) {
        abandoned_.push_back(
            {std::move(child->request), child->chargedBytes, child->chargedHandles});
        child->ahead = false;
        child->request.reset();
    }
    Refund(*child);  // on the walk's path from now on
    child->inWalk = true;
    walkTip_ = child;
    if (child->request && !child->read) {
        // Held here: a TopUp while waiting may collect it.
        const std::shared_ptr<ReadRequest> request = child->request;
        pool_.Promote(request);
        TopUp();  // the readers have more to do meanwhile
        pool_.WaitFor(
            *request, tuning_.waitSlice, [this] { TopUp(); }, wait,
            ReadsFromCache() && tuning_.handover != ReadTuning::Handover::kAlwaysReader);
        Collect(*child);
    }
    if (child->read) {
        bytesOnPath_ += child->contents.Bytes();
        NoteHeld();
    }
    return child;
}

bool ReadPlan::TakeHere(PlannedFolder& folder, int parentFd, const std::string& name) {
    FolderContents contents;
    contents.details = tuning_.entryDetails;
    contents.earlier = tuning_.earlierReading;
    if (!TakeWithoutReading(parentFd, name, contents)) return false;
    SortEntries(contents);
    KeepReadByWalk(folder, std::move(contents));
    return true;
}

void ReadPlan::ReadHere(PlannedFolder& folder, runtime::UniqueFd fd,
                        const std::function<void()>& wait) {
    FolderContents& contents = folder.contents;
    const bool openedHere = fd.Valid();
    if (openedHere) {
        contents = FolderContents();
        contents.fd = std::move(fd);
        if (::fstat(contents.fd.Get(), &contents.st) != 0) {
            contents.failure = FolderFailure::Open(errno);
            contents.fd.Reset();
        }
    }
    const auto start = std::chrono::steady_clock::now();
    if (contents.fd) {
        contents.details = tuning_.entryDetails;
        contents.earlier = tuning_.earlierReading;
        Pacer pace(wait, tuning_.waitSlice);
        ReadEntries(contents, 0, std::ref(pace));
        if (contents.Entries() < tuning_.largeFolder) {
            SortEntries(contents);
        } else {
            // A large folder is sorted on a reader, so that the walk's caller keeps catching up.
            auto sorted = std::make_shared<std::atomic<bool>>(false);
            pool_.Run([&contents, sorted] {
                SortEntries(contents);
                sorted->store(true, std::memory_order_release);
            });
            while (!sorted->load(std::memory_order_acquire)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                try {
                    pace();
                } catch (...) {
                    // The caller is leaving; the reader still sorts the contents, so wait for it.
                    while (!sorted->load(std::memory_order_acquire)) std::this_thread::yield();
                    throw;
                }
            }
        }
    }
    if (openedHere) {
        const auto took = std::chrono::steady_clock::now() - start;
        NoteRead(took, contents.Entries());
        walkRead_ += (took - walkRead_) / 4;
    }
    KeepReadByWalk(folder, std::move(contents));
}

// Keeps what the walk read of `folder` itself, and tops the requests up.
void ReadPlan::KeepReadByWalk(PlannedFolder& folder, FolderContents contents) {
    folder.unread = false;
    Keep(folder, std::move(contents));
    ++stats_.readByWalk;
    folder.read = true;
    if (folder.inWalk) {
        bytesOnPath_ += folder.contents.Bytes();
        NoteHeld();
    }
    TopUp();
}

void ReadPlan::Leave(PlannedFolder& folder) {
    PlannedFolder* parent = folder.parent;
    // The walk's tip is this folder or below it: it moves up to the parent.
    for (const PlannedFolder* at = walkTip_; at != nullptr; at = at->parent) {
        if (at == &folder) {
            walkTip_ = parent;
            break;
        }
    }
    if (parent != nullptr) {
        Release(parent->children[folder.index]);
    } else {
        const auto top = std::find_if(tops_.begin(), tops_.end(),
                                      [&folder](const auto& t) { return t.get() == &folder; });
        if (top != tops_.end()) {
            Release(*top);
            tops_.erase(top);
        }
    }
    if (tops_.empty()) {
        walkTip_ = nullptr;
        pool_.FlushCloses();  // the walk is over: what it let go of is closed now
    }
    TopUp();
}

void ReadPlan::SetHandle(PlannedFolder& folder, std::shared_ptr<FolderHandle> handle) {
    pool_.Close(std::move(folder.handle));
    folder.handle = std::move(handle);
}

void ReadPlan::CloseReleasedNow() {
    Sweep();
    pool_.CloseQueuedNow();
}

void ReadPlan::AwaitReaders() {
    pool_.AwaitReads();
    CloseReleasedNow();
}

void ReadPlan::FreeHandles() {
    // Everything ahead of the walk goes, beside every folder it is in.
    for (PlannedFolder* folder = walkTip_; folder != nullptr; folder = folder->parent) {
        for (std::size_t i = folder->passedBefore; i < folder->children.size(); ++i) {
            Release(folder->children[i]);
        }
        folder->planFrom = folder->passedBefore;
        folder->fullyPlanned = false;
    }
    CloseReleasedNow();
    // From now on, in this walk, one request at a time.
    handles_ = std::min<std::size_t>(handles_, 2);
}

// Whether the walk leaves out the subfolder `entry` of `folder`: by its name, or because `folder`
// lies on another device than the top (the walk lists it without entering it).
bool ReadPlan::LeftOut(const PlannedFolder& folder, FolderEntry entry) const {
    if (leaveOut_.oneFileSystem && folder.contents.st.st_dev != topDevice_) return true;
    return leaveOut_.Excludes(folder.contents.Name(entry));
}

// Plans below `folder`, in the walk's order; false when the budgets are spent.
bool ReadPlan::PlanBelow(PlannedFolder& folder) {
    if (!Collect(folder) || folder.fullyPlanned) return true;
    // Its subfolders are opened under its handle; without one (or unread) there is nothing to plan.
    if (folder.unread || !folder.handle) return true;
    const std::vector<FolderEntry>& subfolders = folder.contents.subfolders;
    bool allPlanned = true;  // every subfolder from planFrom to i is requested and fully planned
    for (std::size_t i = std::max(folder.planFrom, folder.passedBefore); i < subfolders.size();
         ++i) {
        PlannedFolder* child = i < folder.children.size() ? folder.children[i].get() : nullptr;
        if (!subfolders[i].Enter() || LeftOut(folder, subfolders[i])) {
            // A link to a folder (listed, never entered), or what the walk leaves out.
        } else if (child == nullptr) {
            if (!HasRoom()) return false;
            Request(folder, i);
            allPlanned = false;
        } else {
            if (!PlanBelow(*child)) return false;
            allPlanned = allPlanned && child->fullyPlanned;
        }
        if (allPlanned) folder.planFrom = i + 1;
    }
    folder.fullyPlanned = allPlanned;
    return true;
}

void ReadPlan::TopUp() {
    toppedUpAt_ = pool_.ReadsFinished();
    Sweep();
    if (HasRoom()) {
        for (PlannedFolder* folder = walkTip_; folder != nullptr; folder = folder->parent) {
            if (!PlanBelow(*folder)) break;
        }
    }
    pool_.Submit(std::move(submitting_));
    submitting_.clear();
}

void ReadPlan::NoteHeld() {
    stats_.mostBytesHeld = std::max(stats_.mostBytesHeld, bytesHeldAhead_ + bytesOnPath_);
}

ReadAheadStats ReadPlan::Stats() const {
    ReadAheadStats stats = stats_;
    stats.mostReadsAtOnce = pool_.MostReadsAtOnce();
    return stats;
}

}  // namespace quorvale::reading
