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
#include <chrono>
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

constexpr std::string_view kVisibleCR = "\xE2\x90\x8D";  // U+240D SYMBOL FOR CARRIAGE RETURN
constexpr std::string_view kVisibleLF = "\xE2\x90\x8A";  // U+240A SYMBOL FOR LINE FEED

bool HasLineBreak(std::string_view line) {
    return std::memchr(line.data(), '\r', line.size()) != nullptr ||
           std::memchr(line.data(), '\n', line.size()) != nullptr;
}

}  // namespace

namespace {

// Whether `line` (a buffer line) fits in a list file's line and in a details file's, with the
// CR and LF it holds written as three bytes each and the details' fields before it.
bool FitsInALine(std::string_view line) {
    constexpr std::size_t kDetailsFields = 64;  // type, size and time with their tabs, at most
    if (line.size() + kDetailsFields > kMaxLineBytes) return false;
    std::size_t breaks = 0;
    for (const char c : line) breaks += c == '\r' || c == '\n';
    return line.size() + 2 * breaks + kDetailsFields <= kMaxLineBytes;
}

}  // namespace

std::string ListFileText(std::string_view line) {
    std::string text;
    text.reserve(line.size());
    for (const char c : line) {
        if (c == '\r') {
            text += kVisibleCR;
        } else if (c == '\n') {
            text += kVisibleLF;
        } else {
            text += c;
        }
    }
    return text;
}

// One level of the walk: a folder whose subfolders are being visited. Members are released in
// reverse order: the subfolder enumeration, then the folder.
struct ListingCore::Frame {
    std::string_view name;  // under the parent (held by the parent's enumeration); the root's path
    std::unique_ptr<reading::Folder> folder;
    std::unique_ptr<reading::Enumeration> subfolders;
    bool childVisited = false;  // the current subfolder has been walked; advance before the next
};

ListingCore::ListingCore(ListingBuffer& buffer, reading::FileSystem& fileSystem,
                         runtime::RuntimeServices& runtime)
    : buffer_(buffer),
      fileSystem_(fileSystem),
      runtime_(runtime),
      commitsInFlight_(CommitsInFlight()) {}

ListingCore::~ListingCore() = default;

std::string ListingCore::NextListFilePath() {
    return ListFilePath(lock_ ? lock_->Path() : runtime_.ListFileFolder(), listFileNumber_);
}

// Holds the list folder's lock from the first list file (or, with `now`, from the start) to the
// end of the outermost Save, walk or SaveList; inner ones share it. Every commit is settled before
// the lock goes.
class ListingCore::LockScope {
  public:
    LockScope(ListingCore& core, bool now) : core_(core), outermost_(!core.lockScoped_) {
        if (!outermost_) return;
        if (now) core_.TakeLock();  // on a failure nothing is held
        core_.lockScoped_ = true;
    }
    ~LockScope() {
        if (!outermost_) return;
        core_.WaitForWrites();
        core_.lock_.reset();
        core_.lockScoped_ = false;
    }
    LockScope(const LockScope&) = delete;
    LockScope& operator=(const LockScope&) = delete;

  private:
    ListingCore& core_;
    bool outermost_;
};

void ListingCore::TakeLock() {
    if (lock_) return;
    lock_ = runtime_.LockListFileFolder();
    ownTemporaryNames_.clear();
}

// Whether `folder` is the locked list folder, which may hold the Save's own temporary files.
bool ListingCore::HoldsOwnTemporaryFiles(const reading::Folder& folder) const {
    if (!lock_ || ownTemporaryNames_.empty()) return false;
    const reading::FolderIdentity id = folder.Identity();
    return id.known && id.device == static_cast<std::uint64_t>(lock_->Device()) &&
           id.inode == static_cast<std::uint64_t>(lock_->Inode());
}

std::size_t ListingCore::CommitsInFlight() {
    // Each holds two handles (the file and its folder) until it is in place: a small open-file
    // limit keeps one.
    const std::size_t limit = runtime::OpenFileLimit();
    return std::clamp<std::size_t>(limit > 32 ? (limit - 32) / 8 : 1, 1, kMaxCommitsInFlight);
}

void ListingCore::SaveList() {
    const LockScope scope(*this, false);
    StartSave();
    FinishCommits();
}

// The next list file's output, in the locked folder. Out of handles, the file system lets go of
// those it can spare and the file is tried again.
std::unique_ptr<runtime::TextOutput> ListingCore::OpenListFile() {
    try {
        return runtime_.OpenForOutput(*lock_, ListFileName(listFileNumber_));
    } catch (const RuntimeError& error) {
        if (error.Number() != runtime::TooManyFiles) throw;
    }
    fileSystem_.FreeHandles();
    return runtime_.OpenForOutput(*lock_, ListFileName(listFileNumber_));
}

// Writes the buffer to the next list file and queues it to be put in place; the buffer is emptied
// and the number advanced. A failure to write keeps the buffer and the number as they were.
void ListingCore::StartSave() {
    CollectCommits(commitsInFlight_ - 1, true);
    // The number must be able to advance past this file, or a later save would overwrite it.
    if (listFileNumber_ == INT16_MAX) {
        throw RuntimeError(runtime::Overflow,
                           "Cannot write list file \"" + NextListFilePath() +
                               "\": the last list file one run of the program writes is " +
                               ListFileName(INT16_MAX - 1));
    }
    // On a failure the output goes out of scope unfinished, which removes its temporary file.
    std::unique_ptr<runtime::TextOutput> out;
    std::unique_ptr<runtime::TextOutput> details;
    try {
        TakeLock();
        out = OpenListFile();
        if (std::string temporary = out->TemporaryName(); !temporary.empty()) {
            ownTemporaryNames_.insert(std::move(temporary));
        }
        for (std::size_t i = 0, count = buffer_.ListCount(); i < count; ++i) {
            const std::string_view line = buffer_.Line(i);
            if (HasLineBreak(line)) {
                out->PrintLine(ListFileText(line));
            } else {
                out->PrintLine(line);
            }
        }
        out->FinishWriting();
        if (options_.details) details = WriteDetailsFile();
    } catch (const RuntimeError&) {
        // The files before it are in place (or the first that is not is reported) before the
        // failure is: after a failed Save, ListTex1 up to the number before it are whole.
        details.reset();
        out.reset();
        FinishCommits(false);
        throw;
    }
    committer_.Submit(listFileNumber_, std::move(out));
    if (details) committer_.Submit(listFileNumber_, std::move(details));
    lineDetails_.clear();
    linesSaved_ += static_cast<std::uint64_t>(buffer_.ListCount());
    buffer_.Clear();
    ++listFileNumber_;
}

namespace {

// Appends a details line's fields: type, size and time, each followed by a tab.
void AppendFields(std::string& text, const reading::EntryDetails& details) {
    text += details.type;
    text += '\t';
    text += std::to_string(details.size);
    text += '\t';
    runtime::AppendUtcTime(text, details.modified);
    text += '\t';
}

}  // namespace

// The details file beside the list file the buffer is written to: line for line, each line's
// type, size, time and full path (written as the list file writes it), tab-separated; lines that
// name no entry (the root as chosen, denials) have the three fields empty.
std::unique_ptr<runtime::TextOutput> ListingCore::WriteDetailsFile() {
    const std::size_t count = buffer_.ListCount();
    if (lineDetails_.size() != count) {
        throw RuntimeError(runtime::InvalidProcedureCall,
                           "Cannot write \"" + DetailsFileName(listFileNumber_) +
                               "\": the details no longer match the listing's lines");
    }
    std::unique_ptr<runtime::TextOutput> out =
        runtime_.OpenForOutput(*lock_, DetailsFileName(listFileNumber_));
    if (std::string temporary = out->TemporaryName(); !temporary.empty()) {
        ownTemporaryNames_.insert(std::move(temporary));
    }
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view line = buffer_.Line(i);
        const LineDetails& details = lineDetails_[i];
        text.clear();
        if (details.known) {
            AppendFields(text, details.entry);
        } else {
            text += "\t\t\t";
        }
        const std::size_t pathStart = text.size();
        if (details.kind == LineDetails::Kind::kFolder) {
            detailsFolder_.assign(line.substr(1));
            text += detailsFolder_;
        } else if (details.kind == LineDetails::Kind::kFile) {
            runtime::AppendPath(text, detailsFolder_, line.substr(2));
        } else {
            text += line;
        }
        const std::string_view path = std::string_view(text).substr(pathStart);
        if (HasLineBreak(path)) text.replace(pathStart, std::string::npos, ListFileText(path));
        out->PrintLine(text);
    }
    out->FinishWriting();
    return out;
}

void ListingCore::NoteDetails(const LineDetails& details) {
    if (options_.details) lineDetails_.push_back(details);
}

// Waits until at most `keep` list files are being put in place, letting the window catch up
// meanwhile when `yielding`. If one failed (the committer abandoned every later one), the number
// is the failed file's again (its lines are no longer in the buffer) and its failure is thrown.
// Should the yield end the Save, the files queued stay for WaitForWrites.
void ListingCore::CollectCommits(std::size_t keep, bool yielding) {
    const std::function<void()>& wait = wait_ ? wait_ : yield_;
    try {
        committer_.WaitUntilAtMost(keep, yielding ? wait : std::function<void()>());
    } catch (const CommitFailed& failed) {
        listFileNumber_ = failed.number;
        throw failed.error;
    }
}

void ListingCore::FinishCommits(bool yielding) {
    CollectCommits(0, yielding);
}

void ListingCore::WaitForWrites() noexcept {
    try {
        FinishCommits(false);
    } catch (...) {
    }
}

namespace {

std::int64_t SecondsNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

bool ListingCore::SaveListing(const std::string& root, const SaveSteps& steps) {
    // Whatever ends the Save, no commit outlives the lock.
    const LockScope scope(*this, true);
    lock_->RemoveLeftovers(IsLeftoverListFile);
    if (steps.beforeWalk) steps.beforeWalk(*lock_);
    SaveSummary summary;
    summary.root = root;
    summary.started = SecondsNow();
    summary.firstListFile = listFileNumber_;
    linesSaved_ = 0;
    if (buffer_.ListCount() != 0) buffer_.Clear();
    lineDetails_.clear();
    detailsFolder_.clear();
    buffer_.AddItem(root);
    NoteDetails({});
    ListFolder(root);
    const bool wroteRest = buffer_.ListCount() != 0;
    if (wroteRest) SaveList();
    summary.ended = SecondsNow();
    summary.lastListFile = listFileNumber_ > summary.firstListFile ? listFileNumber_ - 1 : 0;
    summary.lines = linesSaved_;
    if (steps.afterWalk) steps.afterWalk(*lock_, summary);
    return wroteRest;
}

// Appends a line and saves the buffer when the line brings it to the threshold.
void ListingCore::AppendAndFlush(std::string_view line, const LineDetails& details) {
    buffer_.AddItem(line);
    NoteDetails(details);
    FlushIfFull();
}

void ListingCore::FlushIfFull() {
    if (buffer_.ListCount() != kFlushThreshold) return;
    // The count display shows the lines saved, whichever line made them full.
    if (showCount_) showCount_(kFlushThreshold);
    try {
        StartSave();
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
    if (error.Number() == runtime::PermissionDenied) {
        ++deniedCount_;
        if (reportFailure_ || denied_.size() < kMaxRememberedIncomplete) {
            std::string path = FolderPathAt(level);
            if (reportFailure_) reportFailure_(path, error);
            if (denied_.size() < kMaxRememberedIncomplete) {
                denied_.push_back({std::move(path), error.what()});
            }
        }
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
bool ListingCore::ListFolderLine(std::size_t level) {
    const auto appendLine = [&] {
        const reading::Folder& folder = *stack_[level].folder;
        line_.assign("\t");
        line_ += folder.Path();
        if (!FitsInALine(line_)) {
            throw RuntimeError(runtime::Overflow, "its path is longer than a list file's line (" +
                                                      std::to_string(kMaxLineBytes) + " bytes)");
        }
        LineDetails details{LineDetails::Kind::kFolder};
        if (options_.details) details.known = folder.Details(details.entry);
        AppendAndFlush(line_, details);
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
    const bool skipOwn = HoldsOwnTemporaryFiles(*stack_[level].folder);
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
    return (skipOwn && ownTemporaryNames_.contains(std::string(files.Current()))) ||
           (!options_.excludes.empty() && options_.Excludes(files.Current()));
}

void ListingCore::AppendFileLine(const reading::Enumeration& files) {
    line_.assign("\t\t");
    line_ += files.Current();
    LineDetails details{LineDetails::Kind::kFile};
    if (options_.details) details.known = files.CurrentDetails(details.entry);
    buffer_.AddItem(line_);
    NoteDetails(details);
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
        if (ListFolderLine(level)) {
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
    const LockScope scope(*this, false);
    walking_ = true;
    root_ = path;
    incomplete_.clear();
    incompleteCount_ = 0;
    denied_.clear();
    deniedCount_ = 0;
    notEntered_.clear();
    rootDeviceKnown_ = false;
    struct WalkEnd {
        ListingCore& core;
        ~WalkEnd() {
            core.EndFolder(0);
            core.walking_ = false;
            core.WaitForWrites();  // however the walk ends, its list files are settled
        }
    } walkEnd{*this};

    fileSystem_.SetReadOptions(options_);
    try {
        VisitFolder(path, [&] { return fileSystem_.GetFolder(path); });
        while (!stack_.empty()) VisitNextSubfolder(stack_.size() - 1);
    } catch (const FlushFailed& failed) {
        throw failed.error;
    }
    // Every list file the walk wrote is in place when it returns.
    FinishCommits();
}

}  // namespace quorvale::listing
