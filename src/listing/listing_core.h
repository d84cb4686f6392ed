// The listing core: walks a folder tree into the listing buffer (`ListFolder`: what comes next,
// and the error policy), has the buffer written to the numbered list files (`SaveList`, by its
// ListFileWriter: numbering, the 32000-line split, details files, commits, the lock), and makes a
// whole Save of both under the list folder's lock (`SaveListing`). The window's Save command and
// `quorvale --save` drive it through the save room (save/listing_save.h), which adds the record;
// tests also drive it directly with their own file system and runtime services.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "listing/list_file_writer.h"
#include "listing/listing_buffer.h"
#include "listing/walk_report.h"
#include "reading/file_system.h"
#include "reading/listing_options.h"
#include "runtime/folder_lock.h"
#include "runtime/runtime_services.h"

namespace quorvale::listing {

inline constexpr std::int16_t kFlushThreshold = 32000;
inline constexpr std::string_view kDenialLine = "Permission Denied";
// Why a file system's own lost+found is not in a listing: no part of the drive is missing.
inline constexpr std::string_view kFileSystemOwnFolder =
    "the file system's own folder, not readable";

// What a Save's walk made, for the record of it written afterwards.
struct SaveSummary {
    std::string root;          // as chosen
    std::int64_t started = 0;  // seconds since the epoch
    std::int64_t ended = 0;
    int firstListFile = 1;
    int lastListFile = 0;  // 0: the Save wrote no list file
    std::uint64_t lines = 0;
    std::uint64_t linesWithTheSign = 0;  // see ListFileWriter::LinesWithTheSign
    // The file system of the root, told from the walk's own handle of it (none: not opened).
    std::optional<runtime::FileSystemFacts> rootFileSystem;
};

// What a Save does with its locked list folder besides the list files: before the walk (once
// what a killed Save left is gone) and after the last list file is in place. Either may throw,
// which ends the Save.
struct SaveSteps {
    std::function<void(runtime::FolderLock&)> beforeWalk;
    std::function<void(const runtime::FolderLock&, const SaveSummary&)> afterWalk;
    // Each line as it is written into a list file, in order (see ListFileWriter::SetLineObserver).
    ListFileWriter::LineObserver listLine;
    // And with their numbers and their bytes as read (see ListFileWriter::SetEntryObserver).
    ListFileWriter::EntryObserver entryLine;
    // Told, as the walk meets it, the number (from 0, in the order of the folder lines) of each
    // folder whose lines lack something it holds: a step of its listing failed or was denied, or
    // a subfolder of it could not be listed by its folder line.
    std::function<void(std::uint64_t folder)> folderCutShort;
};

class ListingCore {
  public:
    // How many incomplete folders a walk remembers by name; the rest are only counted.
    static constexpr std::size_t kMaxRememberedIncomplete = 100;

    ListingCore(ListingBuffer& buffer, reading::FileSystem& fileSystem,
                runtime::RuntimeServices& runtime);
    ~ListingCore();
    ListingCore(const ListingCore&) = delete;
    ListingCore& operator=(const ListingCore&) = delete;

    // Called after every folder line and every file line so that the window stays alive; may
    // throw RuntimeError, which the walk handles like the failure of any other step.
    void SetYield(std::function<void()> yield) {
        yield_ = std::move(yield);
        writer_.SetWaitHook(wait_ ? wait_ : yield_);
    }
    // Called every few milliseconds while the walk waits for list files to be made durable (the
    // yield when none is set); what it throws passes through the save that waited.
    void SetWaitHook(std::function<void()> wait) {
        wait_ = std::move(wait);
        writer_.SetWaitHook(wait_ ? wait_ : yield_);
    }
    // What a Save calls while it waits (the wait hook, else the yield; perhaps none).
    const std::function<void()>& WaitHook() const { return wait_ ? wait_ : yield_; }
    // Told every folder whose listing a failure denied, cut short or left out, with the reason, as
    // the walk meets it (for a report as find gives one).
    void SetFailureReport(
        std::function<void(const std::string& path, const runtime::RuntimeError&)> report) {
        reportFailure_ = std::move(report);
    }
    // Told the buffer's line count after every file line, for the count display.
    void SetCountDisplay(std::function<void(int)> show) { showCount_ = std::move(show); }
    // What later walks leave out (see ListingOptions); the plain listing by default.
    void SetOptions(reading::ListingOptions options) {
        options_ = std::move(options);
        writer_.SetDetails(options_.details);
    }
    const reading::ListingOptions& Options() const { return options_; }

    // Walks `path` and everything below it into the buffer, depth first: a folder line, the
    // folder's file lines, then each subfolder in turn. A step that fails for lack of permission
    // leaves a "Permission Denied" line and the walk resumes after that step; any other failure
    // ends the listing of that folder and the walk goes on with the next. Whenever a line brings
    // the buffer to kFlushThreshold lines it is saved to the next list file; a failure of that
    // save ends the whole walk and is thrown to the caller, with the unsaved lines still in the
    // buffer. Every list file it wrote is in place when it returns. A walk started while one runs
    // is refused with InvalidProcedureCall.
    void ListFolder(const std::string& path);

    // A whole Save of `root`: opens and locks the list folder for its length (removing what a
    // killed Save left there), runs `steps.beforeWalk`, empties the buffer, appends `root` as the
    // root line, walks it, writes what is left, and then runs `steps.afterWalk` (the Save of the
    // save room writes the record of the listing there). Every list file goes into the folder it
    // locked, through the lock's handle, whatever happens to the folder's path meanwhile; the walk
    // leaves out the temporary files the Save itself made there. Returns whether that final write
    // was made (not when the walk's last flush left the buffer empty). Throws what the walk throws,
    // and FileAlreadyOpen when another program is saving into the same folder. ListFolder and
    // SaveList called on their own lock the folder the same way, from their first list file to
    // their end.
    bool SaveListing(const std::string& root, const SaveSteps& steps = {});

    // Writes every line of the buffer to the next list file, then empties the buffer and advances
    // the list-file number, and waits until the file is in place. The file appears whole or not at
    // all: on any failure an earlier file of that number is untouched and the number is that of
    // the first file not put in place. When the failure came while writing the lines, the buffer
    // keeps them; when it came while making an earlier or this file durable, their lines are gone
    // (a Save after a failed one starts afresh). The error is thrown.
    void SaveList();

    // Waits until the list file the walk saved last is in place; failures are left unreported
    // (for the program's end, which must not leave a file half-committed).
    void WaitForWrites() noexcept { writer_.WaitForWrites(); }

    // The folders the last walk left out or cut short for any reason but lack of permission (the
    // first kMaxRememberedIncomplete of them), and how many there were in all.
    const std::vector<IncompleteFolder>& IncompleteFolders() const { return incomplete_; }
    std::size_t IncompleteCount() const { return incompleteCount_; }
    // Likewise the folders or steps denied for lack of permission.
    const std::vector<IncompleteFolder>& DeniedFolders() const { return denied_; }
    // The file systems' own folders at their roots (lost+found) the user may not read: listed by
    // their denial line as any denied folder, and no part of the drive a listing is missing.
    const std::vector<IncompleteFolder>& FileSystemOwnFolders() const { return ownFolders_; }
    std::size_t DeniedCount() const { return deniedCount_; }
    // The folders on another device that the last walk listed without entering them.
    const std::vector<std::string>& NotEnteredFolders() const { return notEntered_; }

    // The number of the next list file, 1 in a fresh core; it only grows.
    std::int16_t ListFileNumber() const { return writer_.ListFileNumber(); }
    void SetListFileNumber(std::int16_t number) { writer_.SetListFileNumber(number); }
    // The list file the next SaveList writes.
    std::string NextListFilePath() { return writer_.NextListFilePath(); }

  private:
    struct Frame;
    enum class Outcome { kDone, kDenied, kEnded };

    template <typename Open>
    void VisitFolder(std::string_view name, Open&& open);
    bool ListFolderLine(std::size_t level, bool entered = true);
    void NoteCutShort(std::size_t level);
    bool ListFileLines(std::size_t level);
    Outcome ListOneFile(std::size_t level, reading::Enumeration& files, bool skipOwn);
    bool PassedOver(const reading::Enumeration& files, bool skipOwn) const;
    void AppendFileLine(const reading::Enumeration& files);
    void VisitNextSubfolder(std::size_t level);
    template <typename Step>
    Outcome Attempt(std::size_t level, Step&& step);
    void HandleFailure(std::size_t level, const runtime::RuntimeError& error, bool& denied);
    bool IsFileSystemOwnFolder(std::size_t level) const;
    void EndFolder(std::size_t level);
    void RememberIncomplete(std::size_t level, const runtime::RuntimeError& error);
    std::string FolderPathAt(std::size_t level) const;
    void AppendAndFlush(std::string_view line, const LineDetails& details = {});
    void FlushIfFull();
    bool OnAnotherDevice(const reading::Folder& folder, std::size_t level);

    ListingBuffer& buffer_;
    reading::FileSystem& fileSystem_;
    std::function<void()> yield_;
    std::function<void()> wait_;
    std::function<void(int)> showCount_;
    std::function<void(const std::string&, const runtime::RuntimeError&)> reportFailure_;
    ListFileWriter writer_;     // the list and details files, their numbers and the lock
    std::vector<Frame> stack_;  // one frame per folder level of the walk, outermost first
    std::string root_;          // the folder the walk started from
    std::vector<IncompleteFolder> incomplete_;
    std::size_t incompleteCount_ = 0;
    std::vector<IncompleteFolder> denied_;
    std::size_t deniedCount_ = 0;
    std::vector<IncompleteFolder> ownFolders_;
    std::vector<std::string> notEntered_;
    reading::ListingOptions options_;
    std::uint64_t rootDevice_ = 0;
    bool rootDeviceKnown_ = false;
    bool walking_ = false;
    std::string line_;  // reused for every line, to spare an allocation per file
    std::optional<runtime::FileSystemFacts> rootFileSystem_;  // of the walk's root, once opened
    std::function<void(std::uint64_t)> cutShort_;             // the Save's, for its length
    std::uint64_t folderLines_ = 0;                           // in this walk so far
};

}  // namespace quorvale::listing
