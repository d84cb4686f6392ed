// The file-system service the folder walk reads: a folder's full path, its files by name and its
// subfolders, each enumeration able to fail at its start and at every step. The walk sees only
// these interfaces, so a test can put a file system in its place that fails any call it chooses.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "reading/earlier_reading.h"
#include "reading/listing_options.h"
#include "runtime/file_system_facts.h"
#include "runtime/path_join.h"

namespace quorvale::reading {

using runtime::AppendName;
using runtime::AppendPath;
using runtime::JoinPath;

// What a listing with details says of an entry: its type ('d' folder, 'f' file, 'l' link, 'o'
// anything else), its size in bytes and when it was last modified (seconds since the epoch), as
// the entry itself has them (a link's own, never what it points to).
// Where the service can tell, also which file it is and its times in nanoseconds, so that a later
// Save can tell whether the file's content may have changed since (0 where it cannot).
struct EntryDetails {
    char type = 'o';
    std::uint64_t size = 0;
    std::int64_t modified = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    std::uint64_t blocks = 0;  // allocated, in units of 512 bytes (st_blocks)
    std::uint64_t links = 1;   // hard links to it (st_nlink)
};

// One enumeration of a folder's files or subfolders, in the service's order. Current and Next may
// throw runtime::RuntimeError; AtEnd never fails.
class Enumeration {
  public:
    virtual ~Enumeration() = default;
    virtual bool AtEnd() const = 0;
    // The current entry's name under its folder.
    virtual std::string_view Current() const = 0;
    virtual void Next() = 0;
    // The current entry's details, where the service was asked to read them; false otherwise.
    virtual bool CurrentDetails(EntryDetails& /*details*/) const { return false; }
    // What the current entry is, where the service can tell: 'd' a folder, 'f' a regular file,
    // 'l' a link (among subfolders, a link to a folder), 'o' anything else; '?' where it cannot.
    virtual char CurrentKind() const { return '?'; }
};

// Which folder on which device, however it is named; `known` is false where the service cannot
// tell.
struct FolderIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool known = false;
};

// What tells whether a folder changed since it was read: its device and inode, when its entries
// were last changed and its status last changed, and when the service read its entries (times in
// nanoseconds since the epoch). `known` is false where the service cannot tell (a folder listed
// but not entered, or a service that keeps no times).
struct FolderStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    std::int64_t readAt = 0;
    bool known = false;
    bool reused = false;  // its entries were taken from an earlier listing (see EarlierReading)
};

// A folder read by the service. A subfolder object never outlives the folder it was opened from.
class Folder {
  public:
    virtual ~Folder() = default;
    // The folder's full path.
    virtual std::string Path() const = 0;
    // Every entry that is not a folder: regular files, links to anything but a folder, dangling
    // links, fifos, sockets and devices.
    virtual std::unique_ptr<Enumeration> Files() = 0;
    // The direct subfolders, links to folders included (the walk lists those but does not enter).
    virtual std::unique_ptr<Enumeration> SubFolders() = 0;
    // Opens the subfolder `name`, as SubFolders() named it, relative to this folder.
    virtual std::unique_ptr<Folder> OpenSubFolder(std::string_view name) = 0;
    virtual FolderIdentity Identity() const { return {}; }
    // The folder's own details, where the service was asked to read them; false otherwise.
    virtual bool Details(EntryDetails& /*details*/) const { return false; }
    virtual FolderStamp Stamp() const { return {}; }
    // The file system the folder lies on, told from its own handle; none where the service cannot
    // tell.
    virtual std::optional<runtime::FileSystemFacts> DescribeFileSystem() const {
        return std::nullopt;
    }
    // What it is: 'd' a folder, 'l' a link to one (listed, never entered); '?' where the service
    // cannot tell.
    virtual char Kind() const { return '?'; }
    // Whether the folder is the root of a mounted file system, where the file system keeps folders
    // of its own (lost+found); false where the service cannot tell.
    virtual bool IsFileSystemRoot() const { return false; }
};

class FileSystem {
  public:
    virtual ~FileSystem() = default;
    // The folder object for a path given by the user; fails for a missing or empty path.
    virtual std::unique_ptr<Folder> GetFolder(const std::string& path) = 0;
    // Called now and then while the service waits for the disk, so that the caller stays alive;
    // what it throws passes through the call that waited.
    virtual void SetWaitHook(std::function<void()> /*hook*/) {}
    // Lets go of the handles the service can spare now (the process is out of them).
    virtual void FreeHandles() {}
    // What later walks list (see ListingOptions): whether they read each entry's details too, and
    // what they leave out, which a service reading ahead need not read.
    virtual void SetReadOptions(const ListingOptions& /*options*/) {}
    // Where later walks take the entries of a folder that has not changed since an earlier
    // listing read it (none: they read every folder). It must outlive those walks.
    virtual void SetEarlierReading(const EarlierReading* /*earlier*/) {}
};

}  // namespace quorvale::reading
