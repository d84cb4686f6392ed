// Reading folders on worker threads: a job opens one folder (relative to a handle of its parent,
// or by its path), reads every entry once with the types the directory reports, and sorts the
// files and the subfolders by the bytes of their names. The walk takes the results in its own
// order; while it lists one folder, the workers read the ones it will reach next.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quorvale::listing {

// How every folder is opened: never blocking, never becoming a terminal, closed on exec.
inline constexpr int kOpenFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// One entry of a folder: where its name is in the folder's name block, and an 8-byte prefix of it
// for sorting without touching the block.
struct FolderEntry {
    std::uint64_t key;
    std::uint32_t offset;
    std::uint16_t size;
    bool enter;  // subfolders only: false for a link to a folder (listed, never entered)
};

// What reading one folder gave.
struct FolderContents {
    int fd = -1;        // the open folder, owned by whoever holds the contents
    struct stat st {};  // of the open folder
    int openError = 0;  // errno of a failed open; then nothing else is set
    int readError = 0;  // errno of a failed read; then there are no entries
    std::string names;  // every name, end to end
    std::vector<FolderEntry> files;
    std::vector<FolderEntry> subfolders;

    FolderContents() = default;
    FolderContents(const FolderContents&) = delete;
    FolderContents& operator=(const FolderContents&) = delete;
    FolderContents(FolderContents&& other) noexcept;
    FolderContents& operator=(FolderContents&& other) noexcept;
    ~FolderContents();

    std::string_view Name(const FolderEntry& entry) const {
        return std::string_view(names).substr(entry.offset, entry.size);
    }
};

class FolderReader {
  public:
    class Job;

    // Starts `threads` workers.
    explicit FolderReader(std::size_t threads);
    ~FolderReader();
    FolderReader(const FolderReader&) = delete;
    FolderReader& operator=(const FolderReader&) = delete;

    // Queues the reading of the folder `name` under the open folder `parentFd` (a duplicate of
    // the handle is taken, so the caller may close its own at once); Start sets the queued jobs
    // going, so that a batch costs one wake-up. Returns null if no handle could be spared.
    std::shared_ptr<Job> Queue(int parentFd, std::string name);
    void Start();

    // Reads a folder on the calling thread: `name` under `parentFd`, or the path `name` when
    // `parentFd` is negative (a link there is followed). `wait` is called every few milliseconds
    // while it takes long; a large folder is sorted by a worker meanwhile.
    FolderContents ReadNow(int parentFd, const std::string& name,
                           const std::function<void()>& wait);

    // Waits for a job, calling `wait` every few milliseconds; a job no worker has begun is run on
    // the calling thread instead.
    FolderContents Take(const std::shared_ptr<Job>& job, const std::function<void()>& wait);

  private:
    void Work();
    void Post(std::function<void()> task);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

class FolderReader::Job {
  public:
    Job(int parentFd, std::string name) : parentFd_(parentFd), name_(std::move(name)) {}
    ~Job();
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

  private:
    friend class FolderReader;
    enum State { kQueued, kRunning, kFinished };
    // Runs the job if no one has begun it yet; false if someone has.
    bool Claim();
    void Run();
    bool WaitFor(int milliseconds);

    int parentFd_;
    std::string name_;
    std::atomic<int> state_ = kQueued;
    std::mutex mutex_;
    std::condition_variable done_;
    FolderContents contents_;
};

}  // namespace quorvale::listing
