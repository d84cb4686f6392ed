// Reading one folder, the work a reader thread (or the walk itself) does for it: open it relative
// to a handle of its parent (or by its path), read every entry once with the types the directory
// reports, and sort the files and the subfolders by the bytes of their names. No threads here.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "reading/earlier_reading.h"
#include "reading/file_system.h"
#include "runtime/runtime_error.h"
#include "runtime/unique_fd.h"

namespace quorvale::reading {

// How every folder is opened: never blocking, never becoming a terminal, closed on exec.
inline constexpr int kOpenFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// One entry of a folder, four bytes: where its name is in the folder's name block, and whether it
// is a subfolder to enter (not for a link to a folder: that is listed, never entered).
struct FolderEntry {
    static constexpr std::uint32_t kNotEntered = std::uint32_t{1} << 31;
    static constexpr std::uint32_t kMaxOffset = kNotEntered - 1;
    std::uint32_t bits;

    std::uint32_t Offset() const { return bits & kMaxOffset; }
    bool Enter() const { return (bits & kNotEntered) == 0; }
};

// Why a folder could not be read, as its reading saw it: the step that failed and the system's
// error number. Only the walk knows the folder's path: it makes this the error a user reads
// (Error). One failure is a signal, not an error: a reader thread that ran out of handles
// (OutOfHandles) hands the folder back, and the walk opens it again once it has freed some.
struct FolderFailure {
    enum class Step { kNone, kOpen, kRead };
    Step step = Step::kNone;
    int number = 0;  // the system's error number (errno)

    static FolderFailure Open(int number) { return {Step::kOpen, number}; }
    static FolderFailure Read(int number) { return {Step::kRead, number}; }
    explicit operator bool() const { return step != Step::kNone; }
    bool OutOfHandles() const {
        return step == Step::kOpen && (number == EMFILE || number == ENFILE);
    }
    // "Cannot open folder "<path>": reason" or "Cannot read folder ...", numbered as the runtime
    // numbers it (70 for a folder denied).
    runtime::RuntimeError Error(std::string_view path) const;
};

// What reading one folder gave.
struct FolderContents {
    runtime::UniqueFd fd;  // the open folder, owned by whoever holds the contents
    struct stat st {};     // of the open folder
    // Why it could not be opened (then nothing else is set) or read (then there are no entries).
    FolderFailure failure;
    // Whether each entry's details are read too (set before the read).
    bool details = false;
    // Where the entries are taken from if the folder has not changed since it was read for an
    // earlier listing (set before the read; none: always read).
    const EarlierReading* earlier = nullptr;
    bool fromEarlier = false;  // they were taken from there
    // `fd` was only looked up (O_PATH), not opened to read: enough to check the folder against an
    // earlier reading and to open, stat and look up what lies in it.
    bool lookedUpOnly = false;
    // Entries taken without a handle (see TakeWithoutReading) hold a link, which only the folder's
    // handle can tell from a link to a folder.
    bool linksUnresolved = false;
    std::int64_t readAt = 0;  // when the entries were read: nanoseconds since the epoch
    // Every name, end to end, each after its length: one byte below 255, else 255 and two bytes
    // (low first), and followed by its kind (see Kind); with details, then by its entry's
    // (kDetailsBytes).
    std::string names;
    std::vector<FolderEntry> files;
    std::vector<FolderEntry> subfolders;

    FolderContents() = default;
    FolderContents(const FolderContents&) = delete;
    FolderContents& operator=(const FolderContents&) = delete;
    FolderContents(FolderContents&& other) noexcept = default;
    FolderContents& operator=(FolderContents&& other) noexcept = default;
    ~FolderContents() = default;

    // type, size, modified, device, inode, modified and changed in nanoseconds, blocks, links
    static constexpr std::size_t kDetailsBytes = 1 + 8 * 8;

    std::string_view Name(FolderEntry entry) const {
        const auto* at = reinterpret_cast<const unsigned char*>(names.data()) + entry.Offset();
        if (at[0] < 255) return {reinterpret_cast<const char*>(at + 1), at[0]};
        return {reinterpret_cast<const char*>(at + 3),
                static_cast<std::size_t>(at[1] | (at[2] << 8))};
    }
    // What the entry is, as its directory reports it: 'd' a folder, 'f' a regular file, 'l' a
    // link (among the subfolders: a link to a folder), 'o' anything else.
    char Kind(FolderEntry entry) const {
        const std::string_view name = Name(entry);
        return name.data()[name.size()];
    }
    // The entry's details; only where `details` was set for the read.
    EntryDetails Details(FolderEntry entry) const {
        const std::string_view name = Name(entry);
        const char* at = name.data() + name.size() + 1;
        EntryDetails described;
        described.type = at[0];
        std::memcpy(&described.size, at + 1, 8);
        std::memcpy(&described.modified, at + 9, 8);
        std::memcpy(&described.device, at + 17, 8);
        std::memcpy(&described.inode, at + 25, 8);
        std::memcpy(&described.modifiedNs, at + 33, 8);
        std::memcpy(&described.changedNs, at + 41, 8);
        std::memcpy(&described.blocks, at + 49, 8);
        std::memcpy(&described.links, at + 57, 8);
        return described;
    }
    // The memory the names and the entries take.
    std::size_t Bytes() const {
        return names.size() + (files.size() + subfolders.size()) * sizeof(FolderEntry);
    }
    std::size_t Entries() const { return files.size() + subfolders.size(); }
};

// Opens the folder `name` under `parentFd` (never following a link there), or the path `name`
// when `parentFd` is negative (a link there is followed), into `contents`; false with its failure.
// Under a parent, a folder an earlier reading may hold is only looked up (see `lookedUpOnly`):
// ReadEntries opens it to read when that reading does not hold it (a failure then is a
// failure to open as well).
bool OpenFolder(int parentFd, const std::string& name, FolderContents& contents);

// For a folder under `parentFd` whose entries an earlier reading may hold (`contents.earlier` set,
// no details asked): looks it up by name (never following a link) and, when the earlier reading
// holds it unchanged, takes its entries from there (within `limit`, as ReadEntries does), with no
// read. A folder without subfolders is then never opened: nothing below it needs a handle. One
// with subfolders is looked up once more for its handle (see `lookedUpOnly`), which must be the
// same folder, unchanged. False, with `contents` as it was, when the folder must be opened and
// read as any other.
bool TakeWithoutReading(int parentFd, const std::string& name, FolderContents& contents,
                        std::size_t limit = 0);

// The details of an entry whose status is `st`.
EntryDetails DetailsOf(const struct stat& st);

// Reads every entry of the open folder into `contents` (with their details when it says so), or
// takes them from the earlier reading it names when that holds the folder unchanged. With a
// `limit`, stops as soon as the names and entries would take more than that, returns false and
// leaves the folder unread (its entries dropped, its position back at the start). `pause` is called
// after each block.
bool ReadEntries(FolderContents& contents, std::size_t limit = 0,
                 const std::function<void()>& pause = {});

// Sorts the files and the subfolders by the bytes of their names, as `LC_ALL=C sort` does.
void SortEntries(FolderContents& contents);

}  // namespace quorvale::reading
