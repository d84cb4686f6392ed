#include "reading/posix_file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "runtime/folder_path.h"
#include "runtime/nanoseconds.h"
#include "runtime/open_file_limit.h"
#include "runtime/runtime_error.h"

namespace quorvale::reading {

using runtime::ErrorFromErrno;
using runtime::RuntimeError;

namespace {

// Enough for any depth a person meets; deeper trees reopen folders by name as they go.
constexpr std::size_t kMaxOpenFolders = 4096;

// How many entries the walk lists between two looks at the readers' progress.
constexpr std::size_t kEntriesPerPoll = 32;

// How far ahead of the walk a name is fetched into the cache: sorted, a large folder's names are
// looked up all over its name block.
constexpr std::size_t kNamesFetchedAhead = 8;

// The files or the subfolders of one folder, in their sorted order. While the walk lists them, the
// plan keeps requesting what the readers' finished reads make known.
class EntryEnumeration final : public Enumeration {
  public:
    EntryEnumeration(const FolderContents& contents, const std::vector<FolderEntry>& entries,
                     ReadPlan* plan)
        : contents_(contents), entries_(entries), plan_(plan) {}
    bool AtEnd() const override { return index_ >= entries_.size(); }
    std::string_view Current() const override {
        if (AtEnd()) throw RuntimeError(runtime::InvalidProcedureCall, "No current entry");
        return contents_.Name(entries_[index_]);
    }
    bool CurrentDetails(EntryDetails& details) const override {
        if (AtEnd() || !contents_.details) return false;
        details = contents_.Details(entries_[index_]);
        return true;
    }
    char CurrentKind() const override { return AtEnd() ? '?' : contents_.Kind(entries_[index_]); }
    void Next() override {
        if (AtEnd()) return;
        ++index_;
        if (index_ + kNamesFetchedAhead < entries_.size()) {
            __builtin_prefetch(contents_.names.data() +
                               entries_[index_ + kNamesFetchedAhead].Offset());
        }
        if (plan_ != nullptr && index_ % kEntriesPerPoll == 0) plan_->Poll();
    }

  private:
    const FolderContents& contents_;
    const std::vector<FolderEntry>& entries_;
    ReadPlan* plan_;
    std::size_t index_ = 0;
};

}  // namespace

class PosixFolder final : public Folder {
  public:
    // A folder that is listed but not entered (a link to a folder, or a loop back to an ancestor).
    static std::unique_ptr<PosixFolder> NotEntered(std::string path, char kind) {
        auto folder = std::unique_ptr<PosixFolder>(new PosixFolder(std::move(path)));
        folder->kind_ = kind;
        return folder;
    }

    // A folder whose open failed for lack of permission: it has a path, and reading it fails.
    static std::unique_ptr<PosixFolder> Denied(std::string path, RuntimeError denied) {
        auto folder = std::unique_ptr<PosixFolder>(new PosixFolder(std::move(path)));
        folder->readError_ = std::move(denied);
        return folder;
    }

    // A folder that was opened and read, now the walk's current folder. `name` is its name under
    // `parent`, or its full path when it has none.
    static std::unique_ptr<PosixFolder> Opened(PosixFileSystem* fs, PosixFolder* parent,
                                               std::string name, PlannedFolder* node) {
        auto folder = std::unique_ptr<PosixFolder>(new PosixFolder(std::move(name)));
        folder->fs_ = fs;
        folder->parent_ = parent;
        folder->dev_ = node->contents.st.st_dev;
        folder->ino_ = node->contents.st.st_ino;
        if (node->contents.failure)
            folder->readError_ = node->contents.failure.Error(folder->Path());
        folder->node_ = node;
        if (node->contents.details) folder->details_ = DetailsOf(node->contents.st);
        fs->Register(folder.get());
        return folder;
    }

    ~PosixFolder() override {
        // Folders planned below it and never reached are let go of with it.
        if (fs_ == nullptr) return;
        fs_->Unregister(this);
        fs_->plan_->Leave(*node_);
    }

    PosixFolder(const PosixFolder&) = delete;
    PosixFolder& operator=(const PosixFolder&) = delete;

    // Built from the names up the chain: only the folder line needs it, once per folder.
    std::string Path() const override {
        if (parent_ == nullptr) return name_;
        std::vector<const PosixFolder*> chain;
        std::size_t size = 0;
        for (const PosixFolder* f = this; f != nullptr; f = f->parent_) {
            chain.push_back(f);
            size += f->name_.size() + 1;
        }
        std::string path;
        path.reserve(size);
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) AppendName(path, (*it)->name_);
        return path;
    }

    bool Details(EntryDetails& details) const override {
        if (!details_) return false;
        details = *details_;
        return true;
    }

    FolderStamp Stamp() const override {
        if (node_ == nullptr) return {};
        const struct stat& st = node_->contents.st;
        return {static_cast<std::uint64_t>(st.st_dev),
                static_cast<std::uint64_t>(st.st_ino),
                runtime::Nanoseconds(st.st_mtim),
                runtime::Nanoseconds(st.st_ctim),
                node_->contents.readAt,
                true,
                node_->contents.fromEarlier};
    }
    char Kind() const override { return kind_; }

    std::optional<runtime::FileSystemFacts> DescribeFileSystem() const override {
        const int fd = Fd();
        if (fd < 0) return std::nullopt;
        return runtime::DescribeFileSystemOf(fd);
    }

    FolderIdentity Identity() const override {
        return {static_cast<std::uint64_t>(dev_), static_cast<std::uint64_t>(ino_), fs_ != nullptr};
    }

    // Asked only of a folder whose own folder was denied, by path (nothing is read or written).
    bool IsFileSystemRoot() const override {
        struct statx st {};
        return ::statx(AT_FDCWD, Path().c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO, &st) == 0 &&
               (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
               (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    }

    std::unique_ptr<Enumeration> Files() override {
        CheckOnChain();
        ThrowReadError();
        const FolderContents& contents = Contents();
        return std::make_unique<EntryEnumeration>(contents, contents.files, PlanIfAny());
    }

    std::unique_ptr<Enumeration> SubFolders() override {
        CheckOnChain();
        ThrowReadError();
        const FolderContents& contents = Contents();
        return std::make_unique<EntryEnumeration>(contents, contents.subfolders, PlanIfAny());
    }

    std::unique_ptr<Folder> OpenSubFolder(std::string_view name) override {
        CheckOnChain();
        const FolderContents& contents = Contents();
        const std::vector<FolderEntry>& entries = contents.subfolders;
        const auto it = std::lower_bound(entries.begin(), entries.end(), name,
                                         [&contents](FolderEntry entry, std::string_view n) {
                                             return contents.Name(entry) < n;
                                         });
        if (it == entries.end() || contents.Name(*it) != name) {
            throw RuntimeError(runtime::InvalidProcedureCall,
                               "No subfolder \"" + std::string(name) + "\" in " + Path());
        }
        // What the folder's own line says of it, where it is not entered: its entry here.
        const auto described = [&contents, it](std::unique_ptr<PosixFolder> folder) {
            if (contents.details) folder->details_ = contents.Details(*it);
            return folder;
        };
        if (!it->Enter()) return described(NotEntered(JoinPath(Path(), name), 'l'));
        const auto index = static_cast<std::size_t>(it - entries.begin());

        ReadPlan& plan = *fs_->plan_;
        PlannedFolder* child = plan.Take(*node_, index, fs_->waitHook_);
        // Unless it becomes the walk's folder, the walk leaves it at once.
        struct LeaveUnlessEntered {
            ReadPlan& plan;
            PlannedFolder*& child;
            ~LeaveUnlessEntered() {
                if (child != nullptr) plan.Leave(*child);
            }
        } leave{plan, child};
        if (!child->read || child->contents.failure.OutOfHandles()) {
            // Nobody read it, or a reader ran out of handles: the walk takes it from an earlier
            // reading, or opens it, freeing handles of its own if it must, and reads it.
            fs_->EnsureOpen(this);
            const std::string childName(name);
            if (!plan.TakeHere(*child, Fd(), childName)) OpenAndRead(*child, childName);
        } else if (child->unread) {
            plan.ReadHere(*child, runtime::UniqueFd(),
                          fs_->waitHook_);  // too large to have been read ahead
        }
        const FolderContents& read = child->contents;
        if (read.failure.step == FolderFailure::Step::kOpen) {
            RuntimeError error = read.failure.Error(JoinPath(Path(), name));
            if (error.Number() == runtime::PermissionDenied) {
                return described(Denied(JoinPath(Path(), name), std::move(error)));
            }
            throw error;
        }
        if (IsAncestorOrSelf(read.st)) return described(NotEntered(JoinPath(Path(), name), 'd'));
        return Opened(fs_, this, std::string(name), std::exchange(child, nullptr));
    }

  private:
    friend class PosixFileSystem;

    // Opens the subfolder `name` on the walk's thread, and reads it into `child`.
    void OpenAndRead(PlannedFolder& child, const std::string& name) {
        runtime::UniqueFd fd = fs_->OpenAt(this, name.c_str());
        if (!fd) {
            child.contents = FolderContents();
            child.contents.failure = FolderFailure::Open(errno);
            child.read = true;
            return;
        }
        fs_->plan_->ReadHere(child, std::move(fd), fs_->waitHook_);
    }

    explicit PosixFolder(std::string name) : name_(std::move(name)) {}

    void ThrowReadError() const {
        if (readError_) throw *readError_;
    }

    // The walk holds one chain of folders: opening a folder takes its earlier siblings (and what
    // lies below them) off it. Such a folder may only be destroyed; using it is a fault of the
    // caller, told at once in every build.
    void CheckOnChain() const {
        if (offChain_) {
            throw std::logic_error("folder \"" + Path() +
                                   "\" used after a later sibling of it was opened");
        }
    }

    bool IsAncestorOrSelf(const struct stat& st) const {
        for (const PosixFolder* f = this; f != nullptr; f = f->parent_) {
            if (f->dev_ == st.st_dev && f->ino_ == st.st_ino) return true;
        }
        return false;
    }

    int Fd() const { return node_ != nullptr && node_->handle ? node_->handle->fd : -1; }

    ReadPlan* PlanIfAny() const { return fs_ != nullptr ? fs_->plan_.get() : nullptr; }

    // A folder that is not entered has no entries.
    const FolderContents& Contents() const {
        static const FolderContents kNone;
        return node_ != nullptr ? node_->contents : kNone;
    }

    PosixFileSystem* fs_ = nullptr;
    PosixFolder* parent_ = nullptr;
    std::string name_;  // the name under parent_; the full path when there is no parent
    std::size_t depth_ = 0;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    std::optional<RuntimeError> readError_;
    std::optional<EntryDetails> details_;  // with a listing with details
    PlannedFolder* node_ = nullptr;  // what it holds: its entries, its handle (the plan owns it)
    bool offChain_ = false;          // a later sibling was opened: only destroying it is left
    char kind_ = 'd';                // 'l': a link to a folder
};

PosixFileSystem::PosixFileSystem(std::size_t maxOpenFolders, ReadTuning tuning) : tuning_(tuning) {
    const std::size_t limit = runtime::OpenFileLimit();
    const std::size_t folders =
        limit > kReservedHandles + 4 ? limit - kReservedHandles : std::size_t{4};
    maxOpen_ = maxOpenFolders != 0 ? maxOpenFolders
                                   : std::clamp<std::size_t>(folders * 2 / 3, 2, kMaxOpenFolders);
    maxOpen_ = std::max<std::size_t>(maxOpen_, 2);
    // Two per request, the most the plan could use.
    readerHandles_ = std::min(folders > maxOpen_ ? folders - maxOpen_ : std::size_t{2},
                              2 * tuning_.foldersAhead);
}

void PosixFileSystem::SetReadOptions(const ListingOptions& options) {
    readOptions_ = options;
    if (tuning_.entryDetails != options.details) {
        tuning_.entryDetails = options.details;
        if (plan_ && chain_.empty()) {  // the next walk's plan reads with the new tuning
            earlierStats_ = ReadStats();
            plan_.reset();
        }
    }
}

void PosixFileSystem::SetEarlierReading(const EarlierReading* earlier) {
    if (tuning_.earlierReading == earlier) return;
    tuning_.earlierReading = earlier;
    if (plan_ && chain_.empty()) {  // the next walk's plan reads with it
        earlierStats_ = ReadStats();
        plan_.reset();
    }
}

void PosixFileSystem::SetReadAhead(std::size_t folders) {
    tuning_.foldersAhead = std::min(tuning_.foldersAhead, folders);
    readerHandles_ = std::min(readerHandles_, 2 * tuning_.foldersAhead);
    if (plan_ && chain_.empty()) {
        earlierStats_ = ReadStats();
        plan_.reset();
    }
}

// Starts the readers when a walk first needs them, and again in a forked child (which has none of
// them: the parent's stay unjoined there). Checked once per walk; the walk's folders use plan_.
ReadPlan& PosixFileSystem::StartPlan() {
    const pid_t pid = ::getpid();
    if (plan_ && planPid_ == pid) return *plan_;
    if (plan_) (void)plan_.release();
    plan_ = std::make_unique<ReadPlan>(tuning_, readerHandles_);
    planPid_ = pid;
    return *plan_;
}

ReadAheadStats PosixFileSystem::ReadStats() const {
    if (!plan_) return earlierStats_;
    ReadAheadStats stats = plan_->Stats();
    stats.mostBytesHeld = std::max(stats.mostBytesHeld, earlierStats_.mostBytesHeld);
    stats.deepestAhead = std::max(stats.deepestAhead, earlierStats_.deepestAhead);
    stats.mostReadsAtOnce = std::max(stats.mostReadsAtOnce, earlierStats_.mostReadsAtOnce);
    stats.handedOver += earlierStats_.handedOver;
    stats.handedBack += earlierStats_.handedBack;
    stats.readByWalk += earlierStats_.readByWalk;
    stats.requested += earlierStats_.requested;
    return stats;
}

PosixFileSystem::~PosixFileSystem() = default;

std::unique_ptr<Folder> PosixFileSystem::GetFolder(const std::string& path) {
    if (path.empty()) {
        throw RuntimeError(runtime::PathNotFound, "Cannot open folder \"\": no folder was given");
    }
    std::string full = runtime::AbsoluteFolderPath(path);
    ReadPlan& plan = StartPlan();
    plan.SetLeaveOut(readOptions_);
    // The starting folder may itself be a link: the user chose it, so it is followed.
    FolderContents opened;
    if (!OpenFolder(-1, full, opened)) {
        RuntimeError error = opened.failure.Error(full);
        if (error.Number() != runtime::PermissionDenied) throw error;
        struct stat st {};
        if (::stat(full.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw error;
        return PosixFolder::Denied(std::move(full), std::move(error));
    }
    PlannedFolder* top = plan.EnterTop(std::move(opened), waitHook_);
    return PosixFolder::Opened(this, nullptr, std::move(full), top);
}

void PosixFileSystem::FreeHandles() {
    if (plan_) plan_->FreeHandles();
    // Half the chain's handles, the shallowest first; the walk's own folder keeps its.
    const PosixFolder* keep = chain_.empty() ? nullptr : chain_.back();
    for (std::size_t n = open_ / 2; n > 0 && CloseShallowest(keep); --n) {
    }
}

// Adds a newly opened folder at the end of the chain.
void PosixFileSystem::Register(PosixFolder* folder) {
    // The chain ends at the folder's parent: an earlier sibling still there, and what lies below
    // it, may no longer be used (PosixFolder::CheckOnChain).
    while (!chain_.empty() && chain_.back() != folder->parent_) {
        chain_.back()->offChain_ = true;
        Unregister(chain_.back());
    }
    folder->depth_ = chain_.size();
    chain_.push_back(folder);
    // A folder taken from an earlier reading without subfolders holds no handle.
    if (folder->Fd() >= 0) ++open_;
    KeepWithinBudget(folder);
}

// Takes a folder that is going away off the chain, and closes its handle.
void PosixFileSystem::Unregister(PosixFolder* folder) {
    if (folder->depth_ >= chain_.size() || chain_[folder->depth_] != folder) return;
    chain_.resize(folder->depth_);
    firstMaybeOpen_ = std::min(firstMaybeOpen_, chain_.size());
    if (folder->Fd() >= 0) {
        plan_->SetHandle(*folder->node_, nullptr);
        --open_;
    }
}

// Gives `folder` its handle back if it was closed, reopening every closed folder between it and
// the nearest one that still holds its handle.
void PosixFileSystem::EnsureOpen(PosixFolder* folder) {
    if (folder->Fd() >= 0) return;
    std::size_t top = folder->depth_;
    while (top > 0 && chain_[top - 1]->Fd() < 0) --top;
    for (std::size_t depth = top; depth <= folder->depth_; ++depth) Reopen(chain_[depth]);
}

// Reopens one folder by its name under its (open) parent, or by its path at the top, and checks
// that it is still the folder that was read.
void PosixFileSystem::Reopen(PosixFolder* folder) {
    runtime::UniqueFd fd = OpenAt(folder->parent_, folder->name_.c_str());
    if (!fd) {
        const int err = errno;
        const bool outOfHandles = err == EMFILE || err == ENFILE;
        throw RuntimeError(runtime::PathFileAccessError,
                           "Cannot return to folder \"" + folder->Path() +
                               "\": " + runtime::SystemReason(err) +
                               (outOfHandles ? "" : " (moved or removed during the walk)"));
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || st.st_dev != folder->dev_ || st.st_ino != folder->ino_) {
        throw RuntimeError(runtime::PathFileAccessError,
                           "Cannot return to folder \"" + folder->Path() +
                               "\": it was moved or replaced during the walk");
    }
    plan_->SetHandle(*folder->node_, std::make_shared<FolderHandle>(std::move(fd)));
    ++open_;
    firstMaybeOpen_ = std::min(firstMaybeOpen_, folder->depth_);
    KeepWithinBudget(folder);
}

// Opens `name` as a folder under `parent` (by path when there is none). When the process is out of
// handles, the shallowest held ones are closed until the open succeeds or none is left to close.
runtime::UniqueFd PosixFileSystem::OpenAt(PosixFolder* parent, const char* name) {
    bool closedReleased = false;
    bool awaitedReaders = false;
    // The same slow medium for the walk's own opens as for the readers'.
    if (tuning_.openDelay.count() > 0) std::this_thread::sleep_for(tuning_.openDelay);
    for (;;) {
        runtime::UniqueFd fd(parent != nullptr
                                 ? ::openat(parent->Fd(), name, kOpenFolderFlags | O_NOFOLLOW)
                                 : ::open(name, kOpenFolderFlags));
        if (fd || (errno != EMFILE && errno != ENFILE)) return fd;
        const int err = errno;
        // Handles let go of and not yet closed by the readers go first, at once, then those of
        // the folders read ahead.
        plan_->FreeHandles();
        if (!closedReleased) {
            closedReleased = true;
            continue;
        }
        if (!CloseShallowest(parent)) {
            // Last, the handles readers still hold for reads the walk has given up.
            if (!awaitedReaders) {
                awaitedReaders = true;
                plan_->AwaitReaders();
                continue;
            }
            errno = err;
            return runtime::UniqueFd();
        }
        plan_->CloseReleasedNow();
        maxOpen_ = std::max<std::size_t>(open_, 2);  // the process holds less than was thought
    }
}

void PosixFileSystem::KeepWithinBudget(const PosixFolder* keep) {
    while (open_ > maxOpen_ && CloseShallowest(keep)) {
    }
}

// Closes the handle of the shallowest folder that holds one, other than `keep`; false if none.
bool PosixFileSystem::CloseShallowest(const PosixFolder* keep) {
    for (std::size_t i = firstMaybeOpen_; i < chain_.size(); ++i) {
        PosixFolder* folder = chain_[i];
        if (folder->Fd() < 0) {
            if (i == firstMaybeOpen_) ++firstMaybeOpen_;
            continue;
        }
        if (folder == keep) continue;
        plan_->SetHandle(*folder->node_, nullptr);
        --open_;
        return true;
    }
    return false;
}

}  // namespace quorvale::reading
