// The writing of a listing's files: the buffer to the next numbered list file (and, in a listing
// with details, its details file line for line), the numbering, the list folder's lock, and the
// commits under way beside the walk. The walk (ListingCore) decides when; this decides how.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "listing/list_file_committer.h"
#include "listing/listing_buffer.h"
#include "reading/file_system.h"
#include "runtime/folder_lock.h"
#include "runtime/runtime_services.h"

namespace quorvale::listing {

// What the walk knows of one line of the buffer, kept beside it in a listing with details or for
// a line observer: whether it is a folder line, a file line or text, what the entry is (see
// Enumeration::CurrentKind), its details where the listing has them, and a folder's stamp.
struct LineDetails {
    enum class Kind : char { kText, kFolder, kFile } kind = Kind::kText;
    bool known = false;  // `entry` holds the details
    char entryKind = '?';
    reading::EntryDetails entry{};
    reading::FolderStamp stamp{};
};

class ListFileWriter {
  public:
    // List files written and not yet in place at most, while the walk goes on: up to
    // kMaxCommitsInFlight, fewer under a small open-file limit.
    static constexpr std::size_t kMaxCommitsInFlight = 4;
    static std::size_t CommitsInFlight();

    ListFileWriter(ListingBuffer& buffer, reading::FileSystem& fileSystem,
                   runtime::RuntimeServices& runtime);
    ListFileWriter(const ListFileWriter&) = delete;
    ListFileWriter& operator=(const ListFileWriter&) = delete;

    // Called every few milliseconds while commits are waited for; what it throws passes through.
    void SetWaitHook(std::function<void()> wait) { wait_ = std::move(wait); }
    // Whether each list file gets a details file (the walk notes each line's details).
    void SetDetails(bool details) { details_ = details; }
    bool Details() const { return details_; }

    // Holds the list folder's lock from the first list file (or, with `now`, from the start) to
    // the end of the outermost Save, walk or SaveList; inner ones share it. Every commit is
    // settled before the lock goes.
    class LockScope {
      public:
        LockScope(ListFileWriter& writer, bool now);
        ~LockScope();
        LockScope(const LockScope&) = delete;
        LockScope& operator=(const LockScope&) = delete;

      private:
        ListFileWriter& writer_;
        bool outermost_;
    };
    // The locked list folder; only within a LockScope that took it.
    runtime::FolderLock& Lock() { return *lock_; }

    // Notes what the walk knows of the line just added to the buffer.
    void NoteDetails(const LineDetails& details) {
        if (details_ || lineObserver_ || entryObserver_) lineDetails_.Add(details);
    }
    // Starts a Save's files afresh: no line saved, no details noted, room for the details of
    // `linesPerFile` lines.
    void StartListing(std::size_t linesPerFile);
    // Tells `observer` each line as it is written into a list file (a CR or LF it holds as the
    // sign for it), with what the walk noted of it, on the thread that saves the buffer; none
    // when empty. Set before the listing's first line.
    using LineObserver = std::function<void(std::string_view, const LineDetails&)>;
    void SetLineObserver(LineObserver observer) { lineObserver_ = std::move(observer); }
    // Tells `observer` the same lines with their numbers in the listing (from 0, the root line)
    // and their bytes as the walk read them (a CR or LF as the byte itself).
    using EntryObserver =
        std::function<void(std::uint64_t number, std::string_view line, const LineDetails&)>;
    void SetEntryObserver(EntryObserver observer) { entryObserver_ = std::move(observer); }
    std::uint64_t LinesSaved() const { return linesSaved_; }
    // Of those, the lines whose names hold the sign for a CR or LF itself (not a line break):
    // where there are none, every sign in the listing stands for a line break.
    std::uint64_t LinesWithTheSign() const { return linesWithTheSign_; }

    // Writes the buffer to the next list file and queues it to be put in place; the buffer is
    // emptied and the number advanced. A failure to write keeps the buffer and the number as they
    // were.
    void StartSave();
    // Waits until at most `keep` list files are being put in place, letting the window catch up
    // meanwhile when `yielding`. If one failed (the committer abandoned every later one), the
    // number is the failed file's again (its lines are no longer in the buffer) and its failure
    // is thrown. Should the wait hook end the Save, the files queued stay for WaitForWrites.
    void CollectCommits(std::size_t keep, bool yielding);
    void FinishCommits(bool yielding = true) { CollectCommits(0, yielding); }
    void WaitForWrites() noexcept;

    // Whether `folder` is the locked list folder, which may hold the Save's own temporary files,
    // and `name` one of them.
    bool HoldsOwnTemporaryFiles(const reading::Folder& folder) const;
    bool IsOwnTemporaryFile(std::string_view name) const {
        return ownTemporaryNames_.contains(std::string(name));
    }

    std::int16_t ListFileNumber() const { return listFileNumber_; }
    void SetListFileNumber(std::int16_t number) { listFileNumber_ = number; }
    std::string NextListFilePath();

  private:
    void TakeLock();
    std::unique_ptr<runtime::TextOutput> OpenListFile();
    std::unique_ptr<runtime::TextOutput> WriteDetailsFile();

    ListingBuffer& buffer_;
    reading::FileSystem& fileSystem_;
    runtime::RuntimeServices& runtime_;
    std::function<void()> wait_;
    bool details_ = false;
    std::int16_t listFileNumber_ = 1;
    const std::size_t commitsInFlight_;
    std::unique_ptr<runtime::FolderLock> lock_;  // the list folder, while a Save writes there
    // List files being put in place beside the walk, in order; gone before the lock.
    ListFileCommitter committer_;
    std::unordered_set<std::string> ownTemporaryNames_;  // made by this Save in lock_'s folder
    std::uint64_t linesSaved_ = 0;                       // by this Save's list files so far
    std::uint64_t linesWithTheSign_ = 0;
    // What the walk noted of each buffer line, with details or an observer, kept compact: a line
    // is a few bytes, and the details and folder stamps lie beside, held only for the lines that
    // have them (the room for a list file's lines is taken once, and its fresh pages cost a fault
    // each the first time they are written).
    class NotedLines {
      public:
        void Reserve(std::size_t lines) { lines_.reserve(lines); }
        void Clear();
        void Add(const LineDetails& details) {
            Noted noted{details.kind, details.known, details.entryKind, kNone, kNone};
            if (details.known) {
                noted.entry = static_cast<std::uint32_t>(entries_.size());
                entries_.push_back(details.entry);
            }
            if (details.stamp.known) {
                noted.stamp = static_cast<std::uint32_t>(stamps_.size());
                stamps_.push_back(details.stamp);
            }
            lines_.push_back(noted);
        }
        std::size_t Size() const { return lines_.size(); }
        // What was noted of line `i`, into `details`, which holds what was noted of any line (or
        // nothing) before: details and a stamp not known are as they begin.
        void Into(std::size_t i, LineDetails& details) const;

      private:
        static constexpr std::uint32_t kNone = UINT32_MAX;
        struct Noted {
            LineDetails::Kind kind;
            bool known;
            char entryKind;
            std::uint32_t entry;  // in entries_, when known
            std::uint32_t stamp;  // in stamps_, when its stamp is known
        };
        std::vector<Noted> lines_;
        std::vector<reading::EntryDetails> entries_;
        std::vector<reading::FolderStamp> stamps_;
    };
    NotedLines lineDetails_;
    LineObserver lineObserver_;
    EntryObserver entryObserver_;
    std::string detailsFolder_;  // where the details file's next file lines lie
    bool lockScoped_ = false;    // a Save, walk or SaveList holds (or will take) the lock
};

// The bytes a buffer line is written as in a list file. A CR or LF inside a name would let a
// name pose as further lines, so each is written as the visible sign for it (U+240D, U+240A);
// every other byte is written as it is.
std::string ListFileText(std::string_view line);
// The bytes a list file's text stands for, appended to `out`: each sign for a CR or LF taken back
// as the byte (a name that truly held the sign cannot be told from one that held the byte).
void AppendRealBytes(std::string& out, std::string_view text);
// Whether `text` holds the sign a list file writes for a CR or an LF (U+240A, U+240D): in a list
// file's text, a line break or the sign itself; in a name as read, the sign itself.
bool HoldsLineBreakSign(std::string_view text);
// Whether `line` holds a CR or an LF.
bool HasLineBreak(std::string_view line);
// Whether a buffer line fits in a list file's line and in a details file's (kMaxLineBytes), with
// each CR and LF it holds written as three bytes and the details' fields before it.
bool FitsInAListFileLine(std::string_view line);

}  // namespace quorvale::listing
