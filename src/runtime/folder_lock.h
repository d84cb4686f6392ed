// An exclusive claim on one folder's list files for the length of a Save. The folder is opened
// once, and the lock is taken on that handle; everything the Save does there afterwards (creating,
// syncing, renaming and removing files, checking names) goes through the same handle, so moving
// the folder away or putting a link or another folder in its place while the Save runs changes
// nothing for that Save. Two programs saving into one folder never interleave; programs saving
// into different folders never wait for each other.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/unique_fd.h"

namespace quorvale::runtime {

class FolderLock {
  public:
    // Opens `folder` and takes the lock without waiting. Throws RuntimeError: FileAlreadyOpen
    // (naming the folder) when another program holds it, PermissionDenied when the folder may not
    // be read (the lock and the removal of leftovers need that), or the folder's own error.
    explicit FolderLock(const std::string& folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // The locked folder's handle, valid as long as the lock; its path as it was given.
    int Handle() const { return fd_.Get(); }
    const std::string& Path() const { return path_; }
    // The locked folder's identity, which no rename changes.
    dev_t Device() const { return device_; }
    ino_t Inode() const { return inode_; }

    // The names of the folder's entries ("." and ".." left out); none when it cannot be read.
    std::vector<std::string> EntryNames() const;

    // Removes every entry of the folder whose name `isLeftover` accepts (never following links);
    // failures are ignored.
    void RemoveLeftovers(const std::function<bool(std::string_view name)>& isLeftover);

    // Renames the entry `name` to `to` in the folder (replacing what `to` names); nothing when
    // there is no `name`. Throws RuntimeError when it cannot.
    void MoveAside(const std::string& name, const std::string& to);

    // A file without a name in the folder, open for reading and writing, for work the Save keeps
    // on the disk rather than in memory: nobody else sees it, and it is gone when closed, whatever
    // ends the program. No handle where the file system has no such files.
    UniqueFd OpenScratchFile() const;

    // The path of `name` in the folder, for messages.
    std::string JoinedPath(const std::string& name) const;

  private:
    UniqueFd fd_;
    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace quorvale::runtime
