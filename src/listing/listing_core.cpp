// The walk keeps one error policy for every step of a folder's listing:
//   - a step that fails for lack of permission leaves a "Permission Denied" line, and the walk
//     resumes with the step after it (for opening the folder, starting its files or starting its
//     subfolders, the step after it has nothing to work on, so the folder ends there);
//   - a step that fails for any other reason ends that folder's listing, and the walk goes on with
//     its parent's next subfolder;
//   - when the denial line itself cannot be appended, that counts as a failure of the parent's
//     step that entered the folder (at the top, it reaches the caller);
//   - a failed save of the buffer ends the whole walk and reaches the caller.
// The walk keeps its own stack of frames, so no tree is too deep for it.
#include "listing/listing_core.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "listing/list_file_name.h"
#include "runtime/file_system_facts.h"
#include "runtime/folder_lock.h"
#include "runtime/open_file_limit.h"
#include "runtime/utc_time.h"

namespace quorvale::listing {

using runtime::RuntimeError;

namespace {

// A failed save of the buffer during a walk: it ends the whole walk, past every folder's error
// policy, and reaches the walk's caller as the RuntimeError it carries.
struct FlushFailed {
    RuntimeError error;
};

}  // namespace

// One level of the walk: a folder whose subfolders are being visited. Members are released in
// reverse order: the subfolder enumeration, then the folder.
struct ListingCore::Frame {
    std::string_view name;  // under the parent (held by the parent's enumeration); the root's path
    std::int64_t folderLine = -1;  // the number of its folder line, once it has one
    std::unique_ptr<reading::Folder> folder;
    std::unique_ptr<reading::Enumeration> subfolders;
    bool childVisited = false;  // the current subfolder has been walked; advance before the next
};

ListingCore::ListingCore(ListingBuffer& buffer, reading::FileSystem& fileSystem,
                         runtime::RuntimeServices& runtime)
    : buffer_(buffer), fileSystem_(fileSystem), writer_(buffer, fileSystem, runtime) {}

ListingCore::~ListingCore() = default;

void ListingCore::SaveList() {
    const ListFileWriter::LockScope scope(writer_, false);
    writer_.StartSave();
    writer_.FinishCommits();
}

bool ListingCore::SaveListing(const std::string& root, const SaveSteps& steps) {
    // Whatever ends the Save, no commit outlives the lock.
    const ListFileWriter::LockScope scope(writer_, true);
    // The observer is the Save's, for its length only.
    writer_.SetLineObserver(steps.listLine);
    writer_.SetEntryObserver(steps.entryLine);
    cutShort_ = steps.folderCutShort;
    struct ObserverScope {
        ListingCore& core;
        ~ObserverScope() {
            core.writer_.SetLineObserver({});
            core.writer_.SetEntryObserver({});
            core.cutShort_ = {};
        }
    } observerScope{*this};
    writer_.Lock().RemoveLeftovers(IsLeftoverListFile);
    if (steps.beforeWalk) steps.beforeWalk(writer_.Lock());
    SaveSummary summary;
    summary.root = root;
    summary.started = runtime::SecondsSinceEpoch();
    summary.firstListFile = writer_.ListFileNumber();
    writer_.StartListing(kFlushThreshold);
    if (buffer_.ListCount() != 0) buffer_.Clear();
    buffer_.AddItem(root);
    writer_.NoteDetails({});
    ListFolder(root);
    const bool wroteRest = buffer_.ListCount() != 0;
    if (wroteRest) SaveList();
    summary.ended = runtime::SecondsSinceEpoch();
    const int next = writer_.ListFileNumber();
    summary.lastListFile = next > summary.firstListFile ? next - 1 : 0;
    summary.lines = writer_.LinesSaved();
    summary.linesWithTheSign = writer_.LinesWithTheSign();
    summary.rootFileSystem = rootFileSystem_;
    if (steps.afterWalk) steps.afterWalk(writer_.Lock(), summary);
    return wroteRest;
}

// Appends a line and saves the buffer when the line brings it to the threshold.
void ListingCore::AppendAndFlush(std::string_view line, const LineDetails& details) {
    buffer_.AddItem(line);
    writer_.NoteDetails(details);
    FlushIfFull();
}

void ListingCore::FlushIfFull() {
    if (buffer_.ListCount() != kFlushThreshold) return;
    // The count display shows the lines saved, whichever line made them full.
    if (showCount_) showCount_(kFlushThreshold);
    try {
        writer_.StartSave();
    } catch (const RuntimeError& error) {
        throw FlushFailed{error};
    }
}

// Ends the listing of the folder at `level` and of every folder below it.
void ListingCore::EndFolder(std::size_t level) {
    while (stack_.size() > level) stack_.pop_back();
}

// Runs one step of the folder at `level` under the policy: kDone, kDenied (the denial line is in
// and the walk goes on) or kEnded (the folder's listing is over; its frame is gone).
template <typename Step>
ListingCore::Outcome ListingCore::Attempt(std::size_t level, Step&& step) {
    try {
        step();
        return Outcome::kDone;
    } catch (const RuntimeError& error) {
        bool denied = false;
        HandleFailure(level, error, denied);
        return denied ? Outcome::kDenied : Outcome::kEnded;
    }
}

// The policy's answer to `error` at `level`: a denial line and `denied`, or the folder's end.
void ListingCore::HandleFailure(std::size_t level, const RuntimeError& error, bool& denied) {
    denied = false;
    NoteCutShort(level);
    if (error.Number() == runtime::PermissionDenied && IsFileSystemOwnFolder(level)) {
        if (ownFolders_.size() < kMaxRememberedIncomplete) {
            ownFolders_.push_back({FolderPathAt(level), std::string(kFileSystemOwnFolder)});
        }
    } else if (error.Number() == runtime::PermissionDenied) {
        ++deniedCount_;
        if (reportFailure_ || denied_.size() < kMaxRememberedIncomplete) {
            std::string path = FolderPathAt(level);
            if (reportFailure_) reportFailure_(path, error);
            if (denied_.size() < kMaxRememberedIncomplete) {
                denied_.push_back({std::move(path), error.what()});
            }
        }
    }
    if (error.Number() == runtime::PermissionDenied) {
        try {
            AppendAndFlush(kDenialLine);
            denied = true;
            return;
        } catch (const RuntimeError& escaped) {
            EndFolder(level);
            if (level == 0) throw;
            bool parentDenied = false;
            HandleFailure(level - 1, escaped, parentDenied);
            return;
        }
    }
    RememberIncomplete(level, error);
    EndFolder(level);
}

// Whether the folder at `level` is lost+found at the root of its file system, which only the
// file system's owner reads (e2fsck puts what it found there).
bool ListingCore::IsFileSystemOwnFolder(std::size_t level) const {
    return level > 0 && stack_[level].name == "lost+found" && stack_[level - 1].folder &&
           stack_[level - 1].folder->IsFileSystemRoot();
}

// Tells the Save that a step at `level` failed: the folder there lacks something, or, when it has
// no folder line (it could not be opened or listed), its parent lacks it.
void ListingCore::NoteCutShort(std::size_t level) {
    if (!cutShort_) return;
    for (std::size_t at = std::min(level + 1, stack_.size()); at-- > 0;) {
        if (stack_[at].folderLine >= 0) {
            cutShort_(static_cast<std::uint64_t>(stack_[at].folderLine));
            return;
        }
    }
}

// Notes the folder at `level` as left out or cut short, with the reason.
void ListingCore::RememberIncomplete(std::size_t level, const RuntimeError& error) {
    ++incompleteCount_;
    if (incomplete_.size() >= kMaxRememberedIncomplete && !reportFailure_) return;
    std::string path = FolderPathAt(level);
    if (reportFailure_) reportFailure_(path, error);
    if (incomplete_.size() < kMaxRememberedIncomplete) {
        incomplete_.push_back({std::move(path), error.what()});
    }
}

// The path of the folder at `level`, from its parent's path and its name.
std::string ListingCore::FolderPathAt(std::size_t level) const {
    if (level == 0) return root_;
    std::string parent;
    try {
        parent = stack_[level - 1].folder->Path();
    } catch (const RuntimeError&) {
        parent = "?";
    }
    return runtime::JoinPath(parent, stack_[level].name);
}

// The folder line and the yield after it; false when the folder's listing has ended.
// A folder that is `entered` is one whose folder line stands for all it holds; one listed without
// being entered has no stamp, so that nobody takes its lines for its entries.
bool ListingCore::ListFolderLine(std::size_t level, bool entered) {
    const auto appendLine = [&] {
        const reading::Folder& folder = *stack_[level].folder;
        line_.assign("\t");
        line_ += folder.Path();
        if (!FitsInAListFileLine(line_)) {
            throw RuntimeError(runtime::Overflow, "its path is longer than a list file's line (" +
                                                      std::to_string(kMaxLineBytes) + " bytes)");
        }
        LineDetails details{LineDetails::Kind::kFolder};
        if (options_.details) details.known = folder.Details(details.entry);
        details.entryKind = folder.Kind();
        if (entered) details.stamp = folder.Stamp();
        buffer_.AddItem(line_);
        writer_.NoteDetails(details);
        stack_[level].folderLine = static_cast<std::int64_t>(folderLines_++);
        FlushIfFull();
    };
    if (Attempt(level, appendLine) == Outcome::kEnded) return false;
    // Yield after the folder line too, so that a tree of many empty folders keeps the window alive.
    return !yield_ || Attempt(level, yield_) != Outcome::kEnded;
}

// One line per file, each followed by the count, the flush test and a yield; false when the
// folder's listing has ended.
bool ListingCore::ListFileLines(std::size_t level) {
    std::unique_ptr<reading::Enumeration> files;
    if (Attempt(level, [&] { files = stack_[level].folder->Files(); }) != Outcome::kDone) {
        EndFolder(level);  // a denied start leaves no file to list
        return false;
    }
    const bool skipOwn = writer_.HoldsOwnTemporaryFiles(*stack_[level].folder);
    while (!files->AtEnd()) {
        const Outcome outcome = ListOneFile(level, *files, skipOwn);
        if (outcome == Outcome::kEnded) return false;
        if (outcome == Outcome::kDenied) break;  // the remaining files are skipped
    }
    return true;
}

// The current file of `files` (at `level`): its line, unless it is passed over, and then the step
// to the next. kDenied: the step was denied.
ListingCore::Outcome ListingCore::ListOneFile(std::size_t level, reading::Enumeration& files,
                                              bool skipOwn) {
    // The Save's own temporary files are gone or renamed by the time anyone reads the listing;
    // files the options exclude are passed over the same way.
    bool passOver = false;
    if ((skipOwn || !options_.excludes.empty()) &&
        Attempt(level, [&] { passOver = PassedOver(files, skipOwn); }) == Outcome::kEnded) {
        return Outcome::kEnded;
    }
    if (!passOver) {
        if (Attempt(level, [&] { AppendFileLine(files); }) == Outcome::kEnded) {
            return Outcome::kEnded;
        }
        if (showCount_) showCount_(buffer_.ListCount());
        FlushIfFull();
        if (yield_ && Attempt(level, yield_) == Outcome::kEnded) return Outcome::kEnded;
    }
    return Attempt(level, [&] { files.Next(); });
}

bool ListingCore::PassedOver(const reading::Enumeration& files, bool skipOwn) const {
    return (skipOwn && writer_.IsOwnTemporaryFile(files.Current())) ||
           (!options_.excludes.empty() && options_.Excludes(files.Current()));
}

void ListingCore::AppendFileLine(const reading::Enumeration& files) {
    line_.assign("\t\t");
    line_ += files.Current();
    LineDetails details{LineDetails::Kind::kFile};
    if (options_.details) details.known = files.CurrentDetails(details.entry);
    details.entryKind = files.CurrentKind();
    buffer_.AddItem(line_);
    writer_.NoteDetails(details);
}

// Lists one folder: its folder line and its file lines. If it has subfolders, its frame stays on
// the stack for VisitNextSubfolder; otherwise its listing is complete.
template <typename Open>
void ListingCore::VisitFolder(std::string_view name, Open&& open) {
    const std::size_t level = stack_.size();
    stack_.emplace_back();
    stack_[level].name = name;
    // A denied folder has nothing to list after its denial line.
    if (Attempt(level, [&] { stack_[level].folder = open(); }) != Outcome::kDone)
        return EndFolder(level);
    if (OnAnotherDevice(*stack_[level].folder, level)) {
        // Listed by its folder line, as a link to a folder is, and not entered.
        if (ListFolderLine(level, false)) {
            notEntered_.push_back(stack_[level].folder->Path());
            EndFolder(level);
        }
        return;
    }
    if (!ListFolderLine(level) || !ListFileLines(level)) return;
    std::unique_ptr<reading::Enumeration> subfolders;
    if (Attempt(level, [&] { subfolders = stack_[level].folder->SubFolders(); }) != Outcome::kDone)
        return EndFolder(level);
    if (subfolders->AtEnd()) return EndFolder(level);
    stack_[level].subfolders = std::move(subfolders);
}

// Whether the options keep the walk on the root's device and `folder` (at `level`) is on another;
// the root's device is taken from the root.
bool ListingCore::OnAnotherDevice(const reading::Folder& folder, std::size_t level) {
    if (!options_.oneFileSystem) return false;
    const reading::FolderIdentity id = folder.Identity();
    if (level == 0) {
        rootDevice_ = id.device;
        rootDeviceKnown_ = id.known;
        return false;
    }
    return id.known && rootDeviceKnown_ && id.device != rootDevice_;
}

// Visits the next subfolder of the folder at `level`, or ends that folder after its last one.
void ListingCore::VisitNextSubfolder(std::size_t level) {
    // After a failed advance the remaining subfolders are skipped.
    if (stack_[level].childVisited &&
        Attempt(level, [&] { stack_[level].subfolders->Next(); }) != Outcome::kDone)
        return EndFolder(level);
    if (stack_[level].subfolders->AtEnd()) return EndFolder(level);
    stack_[level].childVisited = true;
    std::string_view name;
    // A subfolder that cannot be read is skipped after its denial line.
    if (Attempt(level, [&] { name = stack_[level].subfolders->Current(); }) != Outcome::kDone)
        return;
    if (options_.Excludes(name)) return;  // and everything below it
    VisitFolder(name, [this, level, name] { return stack_[level].folder->OpenSubFolder(name); });
}

void ListingCore::ListFolder(const std::string& path) {
    if (walking_) {
        throw RuntimeError(runtime::InvalidProcedureCall,
                           "Cannot list \"" + path + "\": a walk is already in progress");
    }
    const ListFileWriter::LockScope scope(writer_, false);
    walking_ = true;
    root_ = path;
    incomplete_.clear();
    incompleteCount_ = 0;
    denied_.clear();
    deniedCount_ = 0;
    ownFolders_.clear();
    notEntered_.clear();
    rootDeviceKnown_ = false;
    folderLines_ = 0;
    struct WalkEnd {
        ListingCore& core;
        ~WalkEnd() {
            core.EndFolder(0);
            core.walking_ = false;
            core.writer_.WaitForWrites();  // however the walk ends, its files are settled
        }
    } walkEnd{*this};

    fileSystem_.SetReadOptions(options_);
    try {
        rootFileSystem_.reset();
        VisitFolder(path, [&] {
            std::unique_ptr<reading::Folder> root = fileSystem_.GetFolder(path);
            if (root) rootFileSystem_ = root->DescribeFileSystem();
            return root;
        });
        while (!stack_.empty()) VisitNextSubfolder(stack_.size() - 1);
    } catch (const FlushFailed& failed) {
        throw failed.error;
    }
    // Every list file the walk wrote is in place when it returns.
    writer_.FinishCommits();
}

}  // namespace quorvale::listing
