#include "listing/folder_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
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
// Folders that take longer than this to read come from a disk, not from the page cache.
constexpr std::chrono::steady_clock::duration kSlowRead = std::chrono::microseconds(500);
// Folders with more entries than this are sorted by a worker while the caller keeps catching up.
constexpr std::size_t kLargeFolder = 20000;

// Folders with at most this many entries are sorted by names' keys in one go; larger ones are
// first split by their names' bytes, in place, so that sorting takes little memory beside them.
constexpr std::size_t kKeyedSortMax = 1 << 16;
constexpr std::size_t kKeptScratch = 1 << 12;

// Eight bytes of a name from `depth` on, big-endian and padded with zeros (no name holds a zero
// byte), so that comparing keys compares bytes.
std::uint64_t SortKey(std::string_view name, std::size_t depth) {
    unsigned char bytes[8] = {};
    if (depth < name.size())
        std::memcpy(bytes, name.data() + depth, std::min<std::size_t>(name.size() - depth, 8));
    std::uint64_t key = 0;
    for (const unsigned char b : bytes) key = (key << 8) | b;
    return key;
}

// Sorts `count` entries whose names agree in their first `depth` bytes, by the bytes of their
// names, with a key of eight bytes each.
void SortByKey(FolderEntry* entries, std::size_t count, const FolderContents& contents,
               std::size_t depth) {
    struct Keyed {
        std::uint64_t key;
        FolderEntry entry;
    };
    thread_local std::vector<Keyed> keyed;
    keyed.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        keyed[i] = {SortKey(contents.Name(entries[i]), depth), entries[i]};
    }
    const std::size_t rest = depth + 8;
    std::sort(keyed.begin(), keyed.end(), [&contents, rest](const Keyed& a, const Keyed& b) {
        if (a.key != b.key) return a.key < b.key;
        const std::string_view x = contents.Name(a.entry);
        const std::string_view y = contents.Name(b.entry);
        return x.substr(std::min(rest, x.size())) < y.substr(std::min(rest, y.size()));
    });
    for (std::size_t i = 0; i < count; ++i) entries[i] = keyed[i].entry;
    // Kept for the next small folder; a large one's would stay with every thread that sorted one.
    if (keyed.capacity() > kKeptScratch) std::vector<Keyed>().swap(keyed);
}

// Sorts `count` entries whose names agree in their first `depth` bytes by the bytes of their
// names, as `LC_ALL=C sort` does: large runs are split by the byte at `depth` in place (a name
// that ends there comes first), small ones sorted by key.
void SortByName(FolderEntry* entries, std::size_t count, const FolderContents& contents,
                std::size_t depth = 0) {
    // 0 for a name that has ended, else 1 + its byte at `depth`.
    const auto bucketOf = [&contents, &depth](FolderEntry entry) {
        const std::string_view name = contents.Name(entry);
        return depth < name.size() ? 1 + static_cast<unsigned char>(name[depth]) : 0;
    };
    for (;;) {
        if (count <= kKeyedSortMax) {
            if (count > 1) SortByKey(entries, count, contents, depth);
            return;
        }
        std::size_t counts[257] = {};
        for (std::size_t i = 0; i < count; ++i) ++counts[bucketOf(entries[i])];
        if (counts[0] == count) return;  // all the same name
        const auto all = std::find(std::begin(counts), std::end(counts), count);
        if (all != std::end(counts)) {
            ++depth;  // one byte shared by all: look at the next
            continue;
        }
        std::size_t next[257];
        std::size_t end[257];
        std::size_t at = 0;
        for (int b = 0; b < 257; ++b) {
            next[b] = at;
            at += counts[b];
            end[b] = at;
        }
        // Each entry swapped straight into its bucket's next free place.
        for (int b = 0; b < 257; ++b) {
            while (next[b] < end[b]) {
                FolderEntry entry = entries[next[b]];
                int home = bucketOf(entry);
                while (home != b) {
                    std::swap(entry, entries[next[home]++]);
                    home = bucketOf(entry);
                }
                entries[next[b]++] = entry;
            }
        }
        for (int b = 1; b < 257; ++b) {
            const std::size_t size = counts[b];
            if (size > 1) SortByName(entries + end[b] - size, size, contents, depth + 1);
        }
        return;
    }
}

bool LinksToFolder(int fd, const char* name) {
    struct stat st {};
    return ::fstatat(fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

// Reads every entry of the open folder into `contents`, typed from the directory itself (a stat
// only for links and for file systems that report no types). `pause` is called after each block.
void ReadEntries(FolderContents& contents, const std::function<void()>& pause = {}) {
    // Not zeroed, so that only what the directory fills costs memory.
    thread_local const std::unique_ptr<char[]> block(new char[kReadBlock]);
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
        const ssize_t n = ::getdents64(contents.fd, block.get(), kReadBlock);
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
            const auto* d = reinterpret_cast<const struct dirent64*>(block.get() + off);
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
            if (contents.names.size() + size + 3 > FolderEntry::kMaxOffset || size > 0xffff) {
                contents.readError = EOVERFLOW;
                return;
            }
            FolderEntry entry{static_cast<std::uint32_t>(contents.names.size())};
            if (size < 255) {
                contents.names += static_cast<char>(size);
            } else {
                contents.names += static_cast<char>(255);
                contents.names += static_cast<char>(size & 0xff);
                contents.names += static_cast<char>(size >> 8);
            }
            contents.names.append(name, size);
            if (type == DT_DIR) {
                contents.subfolders.push_back(entry);
            } else if (type == DT_LNK && LinksToFolder(contents.fd, name)) {
                entry.bits |= FolderEntry::kNotEntered;
                contents.subfolders.push_back(entry);
            } else {
                contents.files.push_back(entry);
            }
        }
    }
}

void SortEntries(FolderContents& contents) {
    SortByName(contents.files.data(), contents.files.size(), contents);
    SortByName(contents.subfolders.data(), contents.subfolders.size(), contents);
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

// Lets the other hardware thread of the core run while spinning.
inline void Relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
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

namespace {

// Moves what was read into `folder`, its open handle apart, to be shared with the workers that
// open its subfolders.
void Keep(AheadFolder& folder, FolderContents& contents) {
    if (contents.fd >= 0) {
        folder.handle = std::make_shared<FolderHandle>(std::exchange(contents.fd, -1));
    }
    folder.contents = std::move(contents);
}

}  // namespace

FolderHandle::~FolderHandle() {
    if (fd >= 0) ::close(fd);
}

FolderReader::FolderReader(std::size_t threads, std::size_t maxFolders, std::size_t maxBytes)
    : maxFolders_(maxFolders), maxBytes_(maxBytes) {
    for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
}

FolderReader::~FolderReader() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        tasks_.clear();
    }
    work_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void FolderReader::SetMaxFolders(std::size_t folders) {
    const std::lock_guard lock(mutex_);
    maxFolders_ = folders;
}

void FolderReader::Post(std::function<void()> task) {
    {
        const std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    work_.notify_one();
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

std::shared_ptr<AheadFolder> FolderReader::EnterRead(AheadFolder* parent, FolderContents contents) {
    auto folder = std::make_shared<AheadFolder>();
    folder->parent = parent;
    Keep(*folder, contents);
    folder->read.store(true, std::memory_order_relaxed);
    folder->inWalk = true;
    Enter(folder);
    return folder;
}

std::shared_ptr<AheadFolder> FolderReader::TakeAhead(AheadFolder& folder, std::size_t index,
                                                     const std::function<void()>& wait) {
    std::unique_lock lock(mutex_);
    auto& ahead = folder.ahead;
    while (folder.aheadFront < ahead.size() && ahead[folder.aheadFront].first < index) {
        Drop(*ahead[folder.aheadFront].second);
        ahead[folder.aheadFront++].second.reset();
    }
    WakeToClose();
    std::shared_ptr<AheadFolder> child;
    if (folder.aheadFront < ahead.size() && ahead[folder.aheadFront].first == index) {
        child = std::move(ahead[folder.aheadFront++].second);
        if (folder.aheadFront == ahead.size()) {
            ahead.clear();
            folder.aheadFront = 0;
            folder.liveFrom = 0;
        }
        --aheadFolders_;
        aheadBytes_ -= child->bytes;
        WakeIdleWorker();
    } else {
        // Not offered yet. From the page cache the walk reads it itself, faster than a worker
        // could be handed it; from a disk busy with the reads ahead, which could keep the window
        // waiting, the next free worker reads it first of all.
        folder.nextOffer = std::max(folder.nextOffer, index + 1);
        if (!folder.handle || recentRead_ < kSlowRead) return nullptr;
        child = std::make_shared<AheadFolder>();
        child->parent = &folder;
        urgent_.push_back(
            Offer{child, folder.handle,
                  std::string(folder.contents.Name(folder.contents.subfolders[index]))});
        work_.notify_one();
    }
    // The walk's current folder from now on, unless it leaves it unentered.
    child->inWalk = true;
    walkTip_ = child.get();
    if (!child->read.load(std::memory_order_acquire)) {
        // Most folders read ahead are ready when the walk gets to them; a short spin spares a
        // sleep for some of the rest.
        lock.unlock();
        for (int spin = 0; spin < 2000 && !child->read.load(std::memory_order_acquire); ++spin) {
            Relax();
        }
        lock.lock();
        while (!child->read.load(std::memory_order_acquire)) {
            walkWaiting_ = true;
            read_.wait_for(lock, std::chrono::milliseconds(kWaitSliceMs));
            walkWaiting_ = false;
            if (!child->read.load(std::memory_order_acquire) && wait) {
                lock.unlock();
                try {
                    wait();
                } catch (...) {
                    // The walk is leaving: it never gets the child, so the child leaves now,
                    // and the workers no longer look below it.
                    Leave(*child);
                    throw;
                }
                lock.lock();
            }
        }
    }
    return child;
}

void FolderReader::Enter(const std::shared_ptr<AheadFolder>& folder) {
    const std::lock_guard lock(mutex_);
    folder->inWalk = true;
    walkTip_ = folder.get();
    WakeIdleWorker();
}

void FolderReader::Leave(AheadFolder& folder) {
    const std::lock_guard lock(mutex_);
    Drop(folder);
    // The walk's current folder is this one, as a rule; should it be one below, that goes too.
    for (const AheadFolder* at = walkTip_; at != nullptr; at = at->parent) {
        if (at == &folder) {
            walkTip_ = folder.parent;
            break;
        }
    }
    WakeToClose();
}

void FolderReader::SetHandle(AheadFolder& folder, std::shared_ptr<FolderHandle> handle) {
    const std::lock_guard lock(mutex_);
    if (folder.handle) released_.push_back(std::move(folder.handle));
    folder.handle = std::move(handle);
    WakeToClose();
}

void FolderReader::CloseReleased() {
    std::vector<std::shared_ptr<FolderHandle>> released;  // closed once the lock is let go
    const std::lock_guard lock(mutex_);
    released.swap(released_);
}

// Has a worker close the handles let go of, in batches, or all of them once the walk is over
// (under the lock).
void FolderReader::WakeToClose() {
    const std::size_t batch = std::clamp<std::size_t>(maxFolders_, 1, 32);
    if (idle_ > 0 && (released_.size() >= batch || (walkTip_ == nullptr && !released_.empty()))) {
        work_.notify_one();
    }
}

// Lets go of a folder and of everything read ahead below it (under the lock); their handles are
// left in released_, for a worker to close.
void FolderReader::Drop(AheadFolder& folder) {
    if (folder.dropped) return;
    folder.dropped = true;
    for (std::size_t i = folder.aheadFront; i < folder.ahead.size(); ++i) {
        Drop(*folder.ahead[i].second);
    }
    folder.ahead.clear();
    folder.aheadFront = 0;
    if (folder.handle) released_.push_back(std::move(folder.handle));
    if (!folder.inWalk) {
        --aheadFolders_;
        aheadBytes_ -= folder.bytes;
    }
}

bool FolderReader::MayReadAhead() const {
    return aheadFolders_ < maxFolders_ && (aheadBytes_ < maxBytes_ || aheadFolders_ == 0);
}

// Wakes a worker when the read-ahead has room again for a good batch (under the lock): waking one
// for every folder the walk takes would cost more than reading it.
void FolderReader::WakeIdleWorker() {
    if (idle_ > 0 && aheadFolders_ <= maxFolders_ / 2 && MayReadAhead()) work_.notify_one();
}

// The first folder in the walk's order that no one reads yet, made a folder being read ahead
// (under the lock): below the walk's current folder first, then below each of its ancestors.
bool FolderReader::NextOffer(Offer& offer) {
    for (AheadFolder* folder = walkTip_; folder != nullptr; folder = folder->parent) {
        if (FirstOfferIn(*folder, offer)) return true;
    }
    return false;
}

// The first folder below `folder`, in the walk's order, that no one reads yet (under the lock).
bool FolderReader::FirstOfferIn(AheadFolder& folder, Offer& offer) {
    // A folder still being read has nothing to offer yet (the walk's may be one).
    if (folder.exhausted || !folder.read.load(std::memory_order_relaxed)) return false;
    // Subfolders whose every folder below has been offered and read are passed over for good.
    bool allExhausted = true;
    for (std::size_t i = std::max(folder.aheadFront, folder.liveFrom); i < folder.ahead.size();
         ++i) {
        AheadFolder& child = *folder.ahead[i].second;
        if (FirstOfferIn(child, offer)) return true;
        if (!child.exhausted) {
            allExhausted = false;
        } else if (allExhausted) {
            folder.liveFrom = i + 1;
        }
    }
    const std::vector<FolderEntry>& subfolders = folder.contents.subfolders;
    while (folder.nextOffer < subfolders.size() && !subfolders[folder.nextOffer].Enter()) {
        ++folder.nextOffer;
    }
    if (folder.nextOffer >= subfolders.size()) {
        folder.exhausted = allExhausted;
        return false;
    }
    if (!folder.handle) return false;  // its subfolders are opened by the walk
    const std::size_t index = folder.nextOffer++;
    auto child = std::make_shared<AheadFolder>();
    child->parent = &folder;
    folder.ahead.emplace_back(index, child);
    ++aheadFolders_;
    offer.folder = std::move(child);
    offer.parentHandle = folder.handle;
    offer.name = std::string(folder.contents.Name(subfolders[index]));
    return true;
}

// Hands a folder a worker has read to whoever waits for it (under the lock); false if the walk
// has passed it, and then `contents` is left to the caller.
bool FolderReader::Finish(AheadFolder& folder, FolderContents& contents) {
    if (folder.dropped) return false;
    Keep(folder, contents);
    if (!folder.inWalk) {
        folder.bytes = folder.contents.Bytes();
        aheadBytes_ += folder.bytes;
    }
    folder.read.store(true, std::memory_order_release);
    if (walkWaiting_) read_.notify_all();
    return true;
}

void FolderReader::Work() {
    // Reading ahead yields the processor to the walk, which lists what it reads (and, in the
    // window, keeps the window alive): a worker is a little nicer than the thread that made it.
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, 0);
    if (errno == 0) {
        (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), std::min(nice + 5, 19));
    }
    std::unique_lock lock(mutex_);
    for (;;) {
        if (stopping_) return;
        if (!released_.empty()) {
            // Closing a folder that was read can cost as much as reading it: not the walk's work.
            std::vector<std::shared_ptr<FolderHandle>> released;
            released.swap(released_);
            lock.unlock();
            released.clear();
            lock.lock();
            continue;
        }
        if (!tasks_.empty()) {
            std::function<void()> task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
            continue;
        }
        Offer offer;
        if (!urgent_.empty()) {
            offer = std::move(urgent_.front());
            urgent_.pop_front();
        } else if (MayReadAhead() && NextOffer(offer)) {
            // More to read and room for it, while the walk waits or little is read ahead: share
            // the work with a sleeping worker (on a disk, most of them wait for it).
            if (idle_ > 0 && MayReadAhead() &&
                (walkWaiting_ || aheadFolders_ < std::max<std::size_t>(maxFolders_ / 4, 1))) {
                work_.notify_one();
            }
        }
        if (offer.folder) {
            lock.unlock();
            const auto start = std::chrono::steady_clock::now();
            FolderContents contents;
            if (OpenFolder(offer.parentHandle->fd, offer.name, contents)) {
                ReadEntries(contents);
                SortEntries(contents);
            }
            offer.parentHandle.reset();
            const auto took = std::chrono::steady_clock::now() - start;
            lock.lock();
            recentRead_ += (took - recentRead_) / 8;
            if (!Finish(*offer.folder, contents)) {
                lock.unlock();
                contents = FolderContents();  // closes it outside the lock
                lock.lock();
            }
            continue;
        }
        ++idle_;
        work_.wait(lock);
        --idle_;
    }
}

}  // namespace quorvale::listing
