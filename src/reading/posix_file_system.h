// The real file-system service: POSIX directory reading by directory handles.
//
// Each folder is read once, in full, with the entry types the directory itself reports, and its
// files and subfolders are sorted by the bytes of their names. Reader threads read the folders the
// walk will reach next, as the walk's plan requests them (see ReadPlan: its budgets of folders,
// bytes and handles, and when the walk reads a folder itself); the walk takes them strictly in its
// order and, while it waits for one, calls the wait hook so that the window stays alive however
// large the folder. Subfolders are opened relative to their parent's handle, so no full path is
// ever resolved again and trees deeper than the system's path limit list completely. Links to
// folders are reported as subfolders but never entered; a folder that is its own ancestor (a bind
// mount loop) is not entered either. Nothing is opened that could block.
//
// The folders being walked form one chain from the starting folder down; each keeps its own name,
// not its path, so memory grows with the depth, not with its square. Open handles are bounded: a
// fixed reserve stays free for the list files, the window and the rest of the process; of the
// others two thirds are for the walk's chain and one third for the readers' requests. Past its
// budget the chain's shallowest handles are closed, and a folder whose handle was closed gets it
// back, when a subfolder of it must be opened, by name from the nearest folder that still holds
// one, each step checked by device and inode. Running out of handles anyway (EMFILE), the walk
// closes more of its own and tries again, for a reader's open as for its own; a folder that
// cannot be reached again is reported as an error when its subfolder is opened, never skipped
// silently.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "reading/file_system.h"
#include "reading/read_plan.h"
#include "reading/read_tuning.h"

namespace quorvale::reading {

class PosixFolder;

class PosixFileSystem final : public FileSystem {
  public:
    // Handles kept free of folders for the rest of the process: standard streams, the list
    // folder's lock, list files being written and made durable, the window.
    static constexpr std::size_t kReservedHandles = 16;

    // At most `maxOpenFolders` folder handles are held by the walk's chain at once; 0 sizes the
    // budgets from the process's open-file limit.
    explicit PosixFileSystem(std::size_t maxOpenFolders = 0, ReadTuning tuning = {});
    ~PosixFileSystem() override;

    std::unique_ptr<Folder> GetFolder(const std::string& path) override;
    void SetWaitHook(std::function<void()> hook) override { waitHook_ = std::move(hook); }
    void FreeHandles() override;
    std::size_t MaxOpenFolders() const { return maxOpen_; }
    // Limits the folders read ahead (0: each folder is read only when the walk reaches it); for
    // the next walk.
    void SetReadAhead(std::size_t folders);
    void SetReadOptions(const ListingOptions& options) override;
    void SetEarlierReading(const EarlierReading* earlier) override;
    // What reading ahead did in the walks so far.
    ReadAheadStats ReadStats() const;

  private:
    friend class PosixFolder;
    void Register(PosixFolder* folder);
    void Unregister(PosixFolder* folder);
    void EnsureOpen(PosixFolder* folder);
    void Reopen(PosixFolder* folder);
    runtime::UniqueFd OpenAt(PosixFolder* parent, const char* name);
    ReadPlan& StartPlan();
    void KeepWithinBudget(const PosixFolder* keep);
    bool CloseShallowest(const PosixFolder* keep);

    std::vector<PosixFolder*> chain_;  // the folders being walked, outermost first
    std::size_t open_ = 0;             // how many of them hold a handle
    std::size_t firstMaybeOpen_ = 0;   // chain_[i] holds no handle for every i below this
    std::size_t maxOpen_;
    std::size_t readerHandles_;  // what the readers' requests may hold
    ReadTuning tuning_;
    ListingOptions readOptions_;
    std::function<void()> waitHook_;
    std::unique_ptr<ReadPlan> plan_;
    ReadAheadStats earlierStats_;  // of plans let go of
    pid_t planPid_ = 0;            // the process the readers run in: a forked child starts its own
};

}  // namespace quorvale::reading
