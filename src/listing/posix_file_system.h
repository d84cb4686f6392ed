// The real file-system service: POSIX directory reading by directory handles.
//
// Each folder is read once, in full, with the entry types the directory itself reports, and its
// files and subfolders are sorted by the bytes of their names. Worker threads read the folders the
// walk will reach next, in its own depth-first order and many folders deep (see FolderReader: at
// most kReadAhead folders and about kReadAheadBytes of names at once, each holding its handle
// until the walk reaches or passes it); the walk takes them strictly in its order and, while it
// waits for one, calls the wait hook so that the window stays alive however large the folder. A
// folder no worker has begun is read by the next free worker while reads come from a disk, and by
// the walk itself while they come from the page cache. Subfolders are opened relative to their
// parent's handle, so no full path is ever resolved again and trees deeper than the system's path
// limit list completely. Links to folders are reported as subfolders but never entered; a folder
// that is its own ancestor (a bind mount loop) is not entered either. Nothing is opened that could
// block.
//
// The folders being walked form one chain from the starting folder down; each keeps its own name,
// not its path, so memory grows with the depth, not with its square. Open handles are bounded:
// past the budget the shallowest handles are closed, and a folder whose handle was closed gets it
// back, when a subfolder of it must be opened, by name from the nearest folder that still holds
// one, each step checked by device and inode. A folder that cannot be reached that way is reported
// as an error when its subfolder is opened, never skipped silently.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "listing/file_system.h"
#include "listing/folder_reader.h"

namespace quorvale::listing {

class PosixFolder;

class PosixFileSystem final : public FileSystem {
  public:
    // At most `maxOpenFolders` folder handles are held at once; 0 sizes the budget from the
    // process's open-file limit, leaving room for the list files and the window.
    explicit PosixFileSystem(std::size_t maxOpenFolders = 0);
    ~PosixFileSystem() override;

    // Folders read ahead of the walk at most (fewer when the open-file budget is small), and
    // about the most memory their names and entries take.
    static constexpr std::size_t kReadAhead = 128;
    static constexpr std::size_t kReadAheadBytes = std::size_t{32} << 20;
    // Worker threads: they mostly wait on the disk, so more than the cores (four per core, from
    // 16 to 64).
    static std::size_t ReaderThreads();

    std::unique_ptr<Folder> GetFolder(const std::string& path) override;
    void SetWaitHook(std::function<void()> hook) override { waitHook_ = std::move(hook); }
    std::size_t MaxOpenFolders() const { return maxOpen_; }
    // Limits the folders read ahead (0: each folder is read only when the walk reaches it).
    void SetReadAhead(std::size_t folders);

  private:
    friend class PosixFolder;
    void Register(PosixFolder* folder);
    void Unregister(PosixFolder* folder);
    void EnsureOpen(PosixFolder* folder);
    void Reopen(PosixFolder* folder);
    int OpenAt(PosixFolder* parent, const char* name);
    void StartReader();
    void KeepWithinBudget(const PosixFolder* keep);
    bool CloseShallowest(const PosixFolder* keep);

    std::vector<PosixFolder*> chain_;  // the folders being walked, outermost first
    std::size_t open_ = 0;             // how many of them hold a handle
    std::size_t firstMaybeOpen_ = 0;   // chain_[i] holds no handle for every i below this
    std::size_t maxOpen_;
    std::size_t readAhead_;  // folders read ahead at most
    std::function<void()> waitHook_;
    std::unique_ptr<FolderReader> reader_;
    pid_t readerPid_ = 0;  // the process the workers run in: a forked child starts its own
};

// Normalises a user-given path for display and opening: relative paths are made absolute against
// the working folder, and repeated or trailing "/" and "." components are removed.
std::string AbsoluteFolderPath(const std::string& path);

}  // namespace quorvale::listing
