// Reading folders, on the walk's thread or ahead of it on worker threads. Reading a folder opens
// it (relative to a handle of its parent, or by its path), reads every entry once with the types
// the directory reports, and sorts the files and the subfolders by the bytes of their names.
//
// Reading ahead: the folders the walk is in form a chain, each an AheadFolder. The workers read
// the folders the walk will reach next, always the first of them in the walk's own depth-first
// order that no one reads yet: the subfolders of the walk's current folder, and of the folders
// read ahead below it, before the later subfolders of its ancestors. So a tree of small folders is
// read many folders deep at once, and a disk gets many reads to serve at a time. What is read
// ahead is bounded by a number of folders and by the bytes their names take; the walk takes the
// folders in its order and lets go of every one it passes.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace quorvale::listing {

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

// What reading one folder gave.
struct FolderContents {
    int fd = -1;        // the open folder, owned by whoever holds the contents
    struct stat st {};  // of the open folder
    int openError = 0;  // errno of a failed open; then nothing else is set
    int readError = 0;  // errno of a failed read; then there are no entries
    // Every name, end to end, each after its length: one byte below 255, else 255 and two bytes
    // (low first).
    std::string names;
    std::vector<FolderEntry> files;
    std::vector<FolderEntry> subfolders;

    FolderContents() = default;
    FolderContents(const FolderContents&) = delete;
    FolderContents& operator=(const FolderContents&) = delete;
    FolderContents(FolderContents&& other) noexcept;
    FolderContents& operator=(FolderContents&& other) noexcept;
    ~FolderContents();

    std::string_view Name(FolderEntry entry) const {
        const auto* at = reinterpret_cast<const unsigned char*>(names.data()) + entry.Offset();
        if (at[0] < 255) return {reinterpret_cast<const char*>(at + 1), at[0]};
        return {reinterpret_cast<const char*>(at + 3),
                static_cast<std::size_t>(at[1] | (at[2] << 8))};
    }
    // The memory the names and the entries take.
    std::size_t Bytes() const {
        return names.size() + (files.size() + subfolders.size()) * sizeof(FolderEntry);
    }
};

// An open folder handle, closed when the last of those using it (the walk, the workers opening
// its subfolders) lets go.
struct FolderHandle {
    explicit FolderHandle(int descriptor) : fd(descriptor) {}
    ~FolderHandle();
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;
    const int fd;
};

// A folder that has been read: one the walk is in, or one read ahead of it.
struct AheadFolder {
    AheadFolder* parent = nullptr;  // null at the top of the chain
    FolderContents contents;        // its fd is moved into `handle`
    // Its handle while it holds one, for opening its subfolders; changed only under the reader's
    // lock.
    std::shared_ptr<FolderHandle> handle;

  private:
    friend class FolderReader;
    std::atomic<bool> read = false;  // false while a worker reads it
    bool dropped = false;            // the walk has passed it: what it read is let go
    bool inWalk = false;
    std::size_t bytes = 0;      // what its names and entries take, while it is read ahead
    bool exhausted = false;     // every folder below it has been offered, and read
    std::size_t nextOffer = 0;  // its subfolders from here on are not read ahead yet
    // Its subfolders that are being read or have been read ahead, by index, in order: the walk
    // takes them from the front, the workers add them at the back.
    std::vector<std::pair<std::size_t, std::shared_ptr<AheadFolder>>> ahead;
    std::size_t aheadFront = 0;  // the entries before it are gone
    std::size_t liveFrom = 0;    // the entries before it are exhausted
};

class FolderReader {
  public:
    // Starts `threads` workers, reading at most `maxFolders` folders and about `maxBytes` of names
    // ahead of the walk (0 folders: none).
    FolderReader(std::size_t threads, std::size_t maxFolders, std::size_t maxBytes);
    ~FolderReader();
    FolderReader(const FolderReader&) = delete;
    FolderReader& operator=(const FolderReader&) = delete;

    void SetMaxFolders(std::size_t folders);

    // Reads a folder on the calling thread: `name` under `parentFd`, or the path `name` when
    // `parentFd` is negative (a link there is followed). `wait` is called every few milliseconds
    // while it takes long; a large folder is sorted by a worker meanwhile.
    FolderContents ReadNow(int parentFd, const std::string& name,
                           const std::function<void()>& wait);

    // Makes a folder the walk has read itself the walk's current folder, below `parent` (null at
    // the top), and sets the workers reading what lies below it.
    std::shared_ptr<AheadFolder> EnterRead(AheadFolder* parent, FolderContents contents);

    // Hands over the subfolder `index` of `folder` as the walk's current folder (Leave it if it is
    // not entered after all), and lets go of every subfolder before it: as read ahead, or read
    // by the next free worker before anything else when reads are slow (from a disk). Waits while
    // a worker reads it, calling `wait` every few milliseconds. Null when the walk is to read it
    // itself: reads are fast (from the page cache), or `folder` holds no handle.
    std::shared_ptr<AheadFolder> TakeAhead(AheadFolder& folder, std::size_t index,
                                           const std::function<void()>& wait);

    // The walk has left `folder` (and everything below it).
    void Leave(AheadFolder& folder);

    // Gives `folder` a handle, or takes it away (null); its subfolders are read ahead only while
    // it has one.
    void SetHandle(AheadFolder& folder, std::shared_ptr<FolderHandle> handle);

    // Handles let go of are closed by the workers; this closes those still waiting, at once (when
    // the process is out of handles).
    void CloseReleased();

  private:
    struct Offer {
        std::shared_ptr<AheadFolder> folder;
        std::shared_ptr<FolderHandle> parentHandle;
        std::string name;
    };

    void Enter(const std::shared_ptr<AheadFolder>& folder);
    void Work();
    void Post(std::function<void()> task);
    bool NextOffer(Offer& offer);
    bool FirstOfferIn(AheadFolder& folder, Offer& offer);
    bool MayReadAhead() const;
    void WakeIdleWorker();
    void WakeToClose();
    void Drop(AheadFolder& folder);
    bool Finish(AheadFolder& folder, FolderContents& contents);

    std::mutex mutex_;
    std::condition_variable work_;  // workers wait here for something to do
    std::condition_variable read_;  // the walk waits here for a folder being read
    std::deque<std::function<void()>> tasks_;
    std::deque<Offer> urgent_;  // folders the walk needs now, read before any other
    bool stopping_ = false;
    std::size_t idle_ = 0;
    bool walkWaiting_ = false;
    AheadFolder* walkTip_ = nullptr;  // the walk's current folder
    std::size_t maxFolders_;
    const std::size_t maxBytes_;
    std::size_t aheadFolders_ = 0;  // being read or read ahead, not yet taken
    std::size_t aheadBytes_ = 0;
    // How long the workers' reads took lately (a moving average); it starts as if from a disk.
    std::chrono::steady_clock::duration recentRead_ = std::chrono::milliseconds(1);
    std::vector<std::shared_ptr<FolderHandle>> released_;  // let go of, for a worker to close
    std::vector<std::thread> workers_;
};

}  // namespace quorvale::listing
