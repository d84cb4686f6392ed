#include "listing/folder_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace quorvale::listing {

namespace {

constexpr std::size_t kReadBlock = 1 << 16;
constexpr int kWaitSliceMs = 10;
// Folders with more entries than this are sorted by a worker while the caller keeps catching up.
constexpr std::size_t kLargeFolder = 20000;

// The first eight bytes of a name, big-endian, so that comparing keys compares bytes.
std::uint64_t SortKey(const char* name, std::size_t size) {
    unsigned char bytes[8] = {};
    std::memcpy(bytes, name, std::min<std::size_t>(size, 8));
    std::uint64_t key = 0;
    for (const unsigned char b : bytes) key = (key << 8) | b;
    return key;
}

// Sorts entries by the bytes of their names, as `LC_ALL=C sort` does.
void SortByName(std::vector<FolderEntry>& entries, const std::string& names) {
    std::sort(entries.begin(), entries.end(), [&names](const FolderEntry& a, const FolderEntry& b) {
        if (a.key != b.key) return a.key < b.key;
        const int order =
            std::memcmp(names.data() + a.offset, names.data() + b.offset, std::min(a.size, b.size));
        return order != 0 ? order < 0 : a.size < b.size;
    });
}

bool LinksToFolder(int fd, const char* name) {
    struct stat st {};
    return ::fstatat(fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

// Reads every entry of the open folder into `contents`, typed from the directory itself (a stat
// only for links and for file systems that report no types). `pause` is called after each block.
void ReadEntries(FolderContents& contents, const std::function<void()>& pause = {}) {
    thread_local std::vector<char> block(kReadBlock);
    // A folder's size on disk bounds its entries from above (each takes more than 16 bytes
    // there): reserving that much address space lets the lists grow without being copied, and
    // only what is filled costs memory.
    if (contents.st.st_size > static_cast<off_t>(kReadBlock)) {
        const auto bytes = static_cast<std::size_t>(contents.st.st_size);
        contents.names.reserve(bytes);
        contents.files.reserve(bytes / 16);
    }
    for (;;) {
        if (pause) pause();
        const ssize_t n = ::getdents64(contents.fd, block.data(), block.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            contents.readError = errno;
            contents.names.clear();
            contents.files.clear();
            contents.subfolders.clear();
            return;
        }
        if (n == 0) break;
        for (ssize_t off = 0; off < n;) {
            const auto* d = reinterpret_cast<const struct dirent64*>(block.data() + off);
            off += d->d_reclen;
            const char* name = d->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            unsigned char type = d->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st {};
                if (::fstatat(contents.fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                    type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
                } else {
                    type = DT_REG;  // vanished or unreadable: listed as what it most likely was
                }
            }
            const std::size_t size = std::strlen(name);
            if (contents.names.size() + size > UINT32_MAX) {
                contents.readError = EOVERFLOW;
                return;
            }
            const FolderEntry entry{SortKey(name, size),
                                    static_cast<std::uint32_t>(contents.names.size()),
                                    static_cast<std::uint16_t>(size), true};
            contents.names.append(name, size);
            if (type == DT_DIR) {
                contents.subfolders.push_back(entry);
            } else if (type == DT_LNK && LinksToFolder(contents.fd, name)) {
                contents.subfolders.push_back(entry);
                contents.subfolders.back().enter = false;
            } else {
                contents.files.push_back(entry);
            }
        }
    }
}

void SortEntries(FolderContents& contents) {
    SortByName(contents.files, contents.names);
    SortByName(contents.subfolders, contents.names);
}

// Opens the folder `name` under `parentFd` (by path when it is negative) into `contents`.
bool OpenFolder(int parentFd, const std::string& name, FolderContents& contents) {
    contents.fd = parentFd >= 0 ? ::openat(parentFd, name.c_str(), kOpenFolderFlags | O_NOFOLLOW)
                                : ::open(name.c_str(), kOpenFolderFlags);
    if (contents.fd < 0) {
        contents.openError = errno;
        return false;
    }
    if (::fstat(contents.fd, &contents.st) != 0) {
        contents.openError = errno;
        ::close(contents.fd);
        contents.fd = -1;
        return false;
    }
    return true;
}

// Calls `wait` when at least a slice has passed since it was last called.
class Pacer {
  public:
    explicit Pacer(const std::function<void()>& wait) : wait_(wait) {}
    void operator()() {
        if (!wait_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(kWaitSliceMs)) return;
        wait_();
        last_ = std::chrono::steady_clock::now();
    }

  private:
    const std::function<void()>& wait_;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace

FolderContents::FolderContents(FolderContents&& other) noexcept {
    *this = std::move(other);
}

FolderContents& FolderContents::operator=(FolderContents&& other) noexcept {
    if (this == &other) return *this;
    if (fd >= 0) ::close(fd);
    fd = std::exchange(other.fd, -1);
    st = other.st;
    openError = other.openError;
    readError = other.readError;
    names = std::move(other.names);
    files = std::move(other.files);
    subfolders = std::move(other.subfolders);
    return *this;
}

FolderContents::~FolderContents() {
    if (fd >= 0) ::close(fd);
}

FolderReader::FolderReader(std::size_t threads) {
    for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
}

FolderReader::~FolderReader() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

std::shared_ptr<FolderReader::Job> FolderReader::Queue(int parentFd, std::string name) {
    const int dup = ::fcntl(parentFd, F_DUPFD_CLOEXEC, 0);
    if (dup < 0) return nullptr;
    auto job = std::make_shared<Job>(dup, std::move(name));
    const std::lock_guard lock(mutex_);
    queue_.push_back([job] {
        if (job->Claim()) job->Run();
    });
    return job;
}

void FolderReader::Start() {
    wake_.notify_all();
}

void FolderReader::Post(std::function<void()> task) {
    {
        const std::lock_guard lock(mutex_);
        queue_.push_front(std::move(task));
    }
    wake_.notify_one();
}

FolderContents FolderReader::ReadNow(int parentFd, const std::string& name,
                                     const std::function<void()>& wait) {
    FolderContents contents;
    if (!OpenFolder(parentFd, name, contents)) return contents;
    Pacer pace(wait);
    ReadEntries(contents, std::ref(pace));
    if (contents.files.size() + contents.subfolders.size() < kLargeFolder) {
        SortEntries(contents);
        return contents;
    }
    // A large folder: sort it on a worker, so that the window can catch up meanwhile.
    auto sorted = std::make_shared<std::atomic<bool>>(false);
    Post([&contents, sorted] {
        SortEntries(contents);
        sorted->store(true, std::memory_order_release);
    });
    while (!sorted->load(std::memory_order_acquire)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        try {
            pace();
        } catch (...) {
            // The caller is leaving; the worker still holds the contents, so wait for it.
            while (!sorted->load(std::memory_order_acquire)) std::this_thread::yield();
            throw;
        }
    }
    return contents;
}

FolderContents FolderReader::Take(const std::shared_ptr<Job>& job,
                                  const std::function<void()>& wait) {
    if (job->Claim()) job->Run();
    while (!job->WaitFor(kWaitSliceMs)) {
        if (wait) wait();
    }
    const std::lock_guard lock(job->mutex_);
    return std::move(job->contents_);
}

void FolderReader::Work() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task();
    }
}

FolderReader::Job::~Job() {
    if (parentFd_ >= 0) ::close(parentFd_);
}

bool FolderReader::Job::Claim() {
    int expected = kQueued;
    return state_.compare_exchange_strong(expected, kRunning, std::memory_order_acq_rel);
}

void FolderReader::Job::Run() {
    FolderContents contents;
    if (OpenFolder(parentFd_, name_, contents)) {
        ReadEntries(contents);
        SortEntries(contents);
    }
    ::close(parentFd_);
    parentFd_ = -1;
    {
        const std::lock_guard lock(mutex_);
        contents_ = std::move(contents);
        state_.store(kFinished, std::memory_order_release);
    }
    done_.notify_all();
}

bool FolderReader::Job::WaitFor(int milliseconds) {
    // Most reads ahead are done by the time the walk needs them; a short spin spares a sleep.
    for (int spin = 0; spin < 200; ++spin) {
        if (state_.load(std::memory_order_acquire) == kFinished) return true;
        std::this_thread::yield();
    }
    std::unique_lock lock(mutex_);
    return done_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                          [this] { return state_.load(std::memory_order_acquire) == kFinished; });
}

}  // namespace quorvale::listing
