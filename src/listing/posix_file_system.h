// The real file-system service: POSIX directory reading by directory handles.
//
// Each folder is read once, in full, with the entry types the directory itself reports (a stat only
// for links and for file systems that do not report types), and its files and subfolders are
// sorted by the bytes of their names. Subfolders are opened relative to their parent's handle, so
// no full path is ever resolved again and trees deeper than the system's path limit list
// completely. Links to folders are reported as subfolders but never entered; a folder that is its
// own ancestor (a bind mount loop) is not entered either. Nothing is opened that could block.
//
// The folders being walked form one chain from the starting folder down; each keeps its own name,
// not its path, so memory grows with the depth, not with its square. Open handles are bounded:
// past the budget the shallowest handles are closed, and a folder whose handle was closed gets it
// back, when a subfolder of it must be opened, by name from the nearest folder that still holds
// one, each step checked by device and inode. A folder that cannot be reached that way is reported
// as an error when its subfolder is opened, never skipped silently.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <vector>

#include "listing/file_system.h"

namespace quorvale::listing {

class PosixFolder;

class PosixFileSystem final : public FileSystem {
  public:
    // At most `maxOpenFolders` folder handles are held at once; 0 sizes the budget from the
    // process's open-file limit, leaving room for the list files and the window.
    explicit PosixFileSystem(std::size_t maxOpenFolders = 0);

    std::unique_ptr<Folder> GetFolder(const std::string& path) override;
    std::size_t MaxOpenFolders() const { return maxOpen_; }

  private:
    friend class PosixFolder;
    void Register(PosixFolder* folder);
    void Unregister(PosixFolder* folder);
    void EnsureOpen(PosixFolder* folder);
    void Reopen(PosixFolder* folder);
    int OpenAt(PosixFolder* parent, const char* name);
    void KeepWithinBudget(const PosixFolder* keep);
    bool CloseShallowest(const PosixFolder* keep);

    std::vector<PosixFolder*> chain_;  // the folders being walked, outermost first
    std::size_t open_ = 0;             // how many of them hold a handle
    std::size_t firstMaybeOpen_ = 0;   // chain_[i] holds no handle for every i below this
    std::size_t maxOpen_;
    std::vector<char> readBlock_;  // one directory-read block, shared: folders are read in turn
};

// Normalises a user-given path for display and opening: relative paths are made absolute against
// the working folder, and repeated or trailing "/" and "." components are removed.
std::string AbsoluteFolderPath(const std::string& path);

}  // namespace quorvale::listing
