// The real file-system service: POSIX directory reading with openat-style handles.
//
// Each folder is read once, in full, with the entry types the directory itself reports (a stat only
// for links and for file systems that do not report types), and its files and subfolders are
// sorted by the bytes of their names. Subfolders are opened relative to their parent's handle, so
// no full path is ever resolved again and trees deeper than the system's path limit list
// completely. Links to folders are reported as subfolders but never entered; a folder that is its
// own ancestor (a bind mount loop) is not entered either. Nothing is opened that could block.
//
// Open handles are bounded: past kMaxOpenFolders live folders the shallowest handles are closed,
// and a folder gets its handle back from its child's ".." (checked by device and inode) when the
// walk returns to it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <vector>

#include "listing/file_system.h"

namespace quorvale::listing {

class PosixFolder;

class PosixFileSystem final : public FileSystem {
  public:
    static constexpr std::size_t kMaxOpenFolders = 128;

    std::unique_ptr<Folder> GetFolder(const std::string& path) override;

  private:
    friend class PosixFolder;
    void Register(PosixFolder* folder);
    void Unregister(PosixFolder* folder);

    std::vector<PosixFolder*> live_;  // opened folders, outermost first
    std::size_t firstOpen_ = 0;       // live_[i] holds its handle for every i >= firstOpen_
    std::vector<char> readBlock_;     // one directory-read block, shared: folders are read in turn
};

// Normalises a user-given path for display and opening: relative paths are made absolute against
// the working folder, and repeated or trailing "/" and "." components are removed.
std::string AbsoluteFolderPath(const std::string& path);

}  // namespace quorvale::listing
