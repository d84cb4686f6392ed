#include "reading/folder_read.h"

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "runtime/nanoseconds.h"

namespace quorvale::reading {

runtime::RuntimeError FolderFailure::Error(std::string_view path) const {
    return runtime::ErrorFromErrno(
        number, step == Step::kOpen ? "Cannot open folder" : "Cannot read folder", path);
}

namespace {

constexpr std::size_t kReadBlock = 1 << 16;

// Runs of at most this many entries are sorted by their names' keys, with sixteen bytes beside each
// entry; larger ones are first split by one byte of their names, in place, so that sorting a huge
// folder takes little memory beside it.
constexpr std::size_t kKeyedSortMax = 1 << 18;
constexpr std::size_t kKeptScratch = 1 << 12;
// How far ahead of their use names are fetched into the cache: a split run's names are all over
// the folder's name block.
constexpr std::size_t kNamesFetchedAhead = 16;
// Runs this short are sorted by insertion.
constexpr std::size_t kInsertionSortMax = 24;

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

// Moves the elements of a run into their buckets, in place (one pass of a radix sort), given how
// many fall in each of the N buckets: `bucketAt(i)` is the bucket of the element now at i, and
// `swap(i, j)` exchanges two elements. Each element is swapped straight into its bucket's next free
// place. Returns where each bucket ends.
template <std::size_t N, typename BucketAt, typename Swap>
std::array<std::size_t, N> SpreadIntoBuckets(const std::size_t (&counts)[N], BucketAt&& bucketAt,
                                             Swap&& swap) {
    std::array<std::size_t, N> next{};
    std::array<std::size_t, N> end{};
    std::size_t at = 0;
    for (std::size_t b = 0; b < N; ++b) {
        next[b] = at;
        at += counts[b];
        end[b] = at;
    }
    for (std::size_t b = 0; b < N; ++b) {
        while (next[b] < end[b]) {
            const std::size_t home = bucketAt(next[b]);
            if (home == b) {
                ++next[b];
            } else {
                swap(next[b], next[home]++);
            }
        }
    }
    return end;
}

struct Keyed {
    std::uint64_t key;  // eight bytes of the name from the run's depth on
    FolderEntry entry;
};

class KeyedSort {
  public:
    explicit KeyedSort(const FolderContents& contents) : contents_(contents) {}

    // Sorts `count` entries whose names agree in their first `depth` bytes.
    void Sort(FolderEntry* entries, std::size_t count, std::size_t depth) {
        thread_local std::vector<Keyed> keyed;
        keyed.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            if (i + kNamesFetchedAhead < count) FetchName(entries[i + kNamesFetchedAhead]);
            keyed[i] = {SortKey(contents_.Name(entries[i]), depth), entries[i]};
        }
        SortByKey(keyed.data(), count, 7, depth);
        for (std::size_t i = 0; i < count; ++i) entries[i] = keyed[i].entry;
        // Kept for the next small folder; a large one's would stay with every thread that sorted
        // one.
        if (keyed.capacity() > kKeptScratch) std::vector<Keyed>().swap(keyed);
    }

  private:
    void FetchName(FolderEntry entry) const {
        __builtin_prefetch(contents_.names.data() + entry.Offset());
    }

    // Sorts `count` keyed entries whose keys (from `depth`) agree above byte `byte` (7 is the
    // first of the eight): a byte at a time from the first, in place, short runs by insertion.
    void SortByKey(Keyed* keyed, std::size_t count, int byte, std::size_t depth) {
        for (;;) {
            if (count <= kInsertionSortMax) {
                InsertionSort(keyed, count, depth);
                return;
            }
            const int shift = 8 * byte;
            const auto bucketOf = [shift](const Keyed& k) { return (k.key >> shift) & 0xff; };
            std::size_t counts[256] = {};
            for (std::size_t i = 0; i < count; ++i) ++counts[bucketOf(keyed[i])];
            if (counts[bucketOf(keyed[0])] == count) {  // one byte shared by all
                if (byte == 0) {
                    SortTies(keyed, count, depth);
                    return;
                }
                --byte;
                continue;
            }
            const auto end = SpreadIntoBuckets(
                counts, [&](std::size_t i) { return static_cast<std::size_t>(bucketOf(keyed[i])); },
                [keyed](std::size_t i, std::size_t j) { std::swap(keyed[i], keyed[j]); });
            for (int b = 0; b < 256; ++b) {
                if (counts[b] < 2) continue;
                Keyed* run = keyed + end[b] - counts[b];
                if (byte == 0) {
                    SortTies(run, counts[b], depth);
                } else {
                    SortByKey(run, counts[b], byte - 1, depth);
                }
            }
            return;
        }
    }

    // Entries whose eight bytes from `depth` agree: sorted by the next eight, unless their names
    // have ended (then there is one of them).
    void SortTies(Keyed* keyed, std::size_t count, std::size_t depth) {
        if (count < 2 || (keyed[0].key & 0xff) == 0) return;
        depth += 8;
        for (std::size_t i = 0; i < count; ++i) {
            if (i + kNamesFetchedAhead < count) FetchName(keyed[i + kNamesFetchedAhead].entry);
            keyed[i].key = SortKey(contents_.Name(keyed[i].entry), depth);
        }
        SortByKey(keyed, count, 7, depth);
    }

    bool Less(const Keyed& a, const Keyed& b, std::size_t depth) const {
        if (a.key != b.key) return a.key < b.key;
        const std::size_t rest = depth + 8;
        const std::string_view x = contents_.Name(a.entry);
        const std::string_view y = contents_.Name(b.entry);
        return x.substr(std::min(rest, x.size())) < y.substr(std::min(rest, y.size()));
    }

    void InsertionSort(Keyed* keyed, std::size_t count, std::size_t depth) const {
        for (std::size_t i = 1; i < count; ++i) {
            const Keyed k = keyed[i];
            std::size_t j = i;
            for (; j > 0 && Less(k, keyed[j - 1], depth); --j) keyed[j] = keyed[j - 1];
            keyed[j] = k;
        }
    }

    const FolderContents& contents_;
};

// How many bytes every name of the run shares from `depth` on.
std::size_t SharedBytes(const FolderEntry* entries, std::size_t count,
                        const FolderContents& contents, std::size_t depth) {
    const std::string_view first = contents.Name(entries[0]);
    std::size_t shared = first.size() - std::min(depth, first.size());
    for (std::size_t i = 1; i < count && shared > 0; ++i) {
        const std::string_view name = contents.Name(entries[i]);
        const std::size_t size = std::min(shared, name.size() - std::min(depth, name.size()));
        std::size_t k = 0;
        while (k < size && name[depth + k] == first[depth + k]) ++k;
        shared = k;
    }
    return shared;
}

// Sorts `count` entries whose names agree in their first `depth` bytes by the bytes of their
// names, as `LC_ALL=C sort` does: huge runs are split by their first byte that differs, in place
// (a name that ends there comes first), the rest sorted by key.
void SortByName(FolderEntry* entries, std::size_t count, const FolderContents& contents,
                std::size_t depth = 0) {
    if (count < 2) return;
    if (count <= kKeyedSortMax) {
        KeyedSort(contents).Sort(entries, count, depth);
        return;
    }
    depth += SharedBytes(entries, count, contents, depth);
    // 0 for a name that has ended, else 1 + its byte at `depth`. Read once per entry, in the run's
    // order, so that the names are not looked up again while entries move.
    std::vector<std::uint16_t> buckets(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view name = contents.Name(entries[i]);
        buckets[i] = depth < name.size() ? 1 + static_cast<unsigned char>(name[depth]) : 0;
    }
    std::size_t counts[257] = {};
    for (std::size_t i = 0; i < count; ++i) ++counts[buckets[i]];
    const auto end = SpreadIntoBuckets(
        counts, [&buckets](std::size_t i) { return static_cast<std::size_t>(buckets[i]); },
        [entries, &buckets](std::size_t i, std::size_t j) {
            std::swap(entries[i], entries[j]);
            std::swap(buckets[i], buckets[j]);
        });
    buckets = {};
    for (int b = 1; b < 257; ++b) {
        SortByName(entries + end[b] - counts[b], counts[b], contents, depth + 1);
    }
}

bool LinksToFolder(int fd, const char* name) {
    struct stat st {};
    return ::fstatat(fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

namespace {

// The entry's type as the directory reports it; a stat only for file systems that report none.
unsigned char EntryType(int fd, const struct dirent64& entry) {
    if (entry.d_type != DT_UNKNOWN) return entry.d_type;
    struct stat st {};
    if (::fstatat(fd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return DT_REG;  // vanished or unreadable: listed as what it most likely was
    }
    return S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
}

bool IsDotOrDotDot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

char KindOf(unsigned char type) {
    return type == DT_DIR ? 'd' : type == DT_REG ? 'f' : type == DT_LNK ? 'l' : 'o';
}

// Appends the entry's details after its name: the entry itself, never what a link points to. An
// entry gone meanwhile is described by its type alone.
void AppendDetails(FolderContents& contents, const char* name, unsigned char type) {
    struct stat st {};
    EntryDetails details;
    if (::fstatat(contents.fd.Get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        details = DetailsOf(st);
    } else {
        details.type = KindOf(type);
    }
    char bytes[FolderContents::kDetailsBytes];
    bytes[0] = details.type;
    std::memcpy(bytes + 1, &details.size, 8);
    std::memcpy(bytes + 9, &details.modified, 8);
    std::memcpy(bytes + 17, &details.device, 8);
    std::memcpy(bytes + 25, &details.inode, 8);
    std::memcpy(bytes + 33, &details.modifiedNs, 8);
    std::memcpy(bytes + 41, &details.changedNs, 8);
    std::memcpy(bytes + 49, &details.blocks, 8);
    std::memcpy(bytes + 57, &details.links, 8);
    contents.names.append(bytes, sizeof bytes);
}

// Appends the name after its length, and the entry to the files or the subfolders (a link to a
// folder among the subfolders, not to be entered).
void AppendEntry(FolderContents& contents, const char* name, std::size_t size, unsigned char type) {
    FolderEntry entry{static_cast<std::uint32_t>(contents.names.size())};
    if (size < 255) {
        contents.names += static_cast<char>(size);
    } else {
        contents.names += static_cast<char>(255);
        contents.names += static_cast<char>(size & 0xff);
        contents.names += static_cast<char>(size >> 8);
    }
    contents.names.append(name, size);
    contents.names += KindOf(type);
    if (contents.details) AppendDetails(contents, name, type);
    if (type == DT_LNK && !contents.fd) contents.linksUnresolved = true;
    if (type == DT_DIR) {
        contents.subfolders.push_back(entry);
    } else if (type == DT_LNK && contents.fd && LinksToFolder(contents.fd.Get(), name)) {
        entry.bits |= FolderEntry::kNotEntered;
        contents.subfolders.push_back(entry);
    } else {
        contents.files.push_back(entry);
    }
}

// Lets go of every entry read (and of the memory they took).
void DropEntries(FolderContents& contents) {
    contents.names = std::string();
    contents.files = std::vector<FolderEntry>();
    contents.subfolders = std::vector<FolderEntry>();
}

// A folder's size on disk bounds its entries from above (each takes more than 16 bytes there):
// reserving that much address space lets the lists grow without being copied, and only what is
// filled costs memory.
void ReserveForEntries(FolderContents& contents, std::size_t limit) {
    if (contents.st.st_size > static_cast<off_t>(kReadBlock) &&
        (limit == 0 || static_cast<std::size_t>(contents.st.st_size) <= limit)) {
        const auto bytes = static_cast<std::size_t>(contents.st.st_size);
        contents.names.reserve(bytes);
        contents.files.reserve(bytes / 16);
    }
}

// What became of one block of directory entries.
enum class BlockTaken { kAll, kEnded, kTooLarge };

// Takes one entry (its type: a stat for a directory that reports none, when `type` says so).
template <typename Type>
BlockTaken TakeEntry(FolderContents& contents, const char* name, std::size_t size,
                     std::size_t limit, Type&& type) {
    const std::size_t taken = size + 4 + (contents.details ? FolderContents::kDetailsBytes : 0);
    if (contents.names.size() + taken > FolderEntry::kMaxOffset || size > 0xffff) {
        contents.failure = FolderFailure::Read(EOVERFLOW);
        return BlockTaken::kEnded;
    }
    if (limit != 0 && contents.Bytes() + taken + sizeof(FolderEntry) > limit) {
        return BlockTaken::kTooLarge;
    }
    AppendEntry(contents, name, size, type());
    return BlockTaken::kAll;
}

BlockTaken TakeBlock(FolderContents& contents, const char* block, ssize_t bytes,
                     std::size_t limit) {
    for (ssize_t off = 0; off < bytes;) {
        const auto* d = reinterpret_cast<const struct dirent64*>(block + off);
        off += d->d_reclen;
        if (IsDotOrDotDot(d->d_name)) continue;
        const BlockTaken taken = TakeEntry(contents, d->d_name, std::strlen(d->d_name), limit,
                                           [&] { return EntryType(contents.fd.Get(), *d); });
        if (taken != BlockTaken::kAll) return taken;
    }
    return BlockTaken::kAll;
}

// Takes the entries an earlier reading holds of the folder when it has not changed since; nothing
// when it must be read.
std::optional<BlockTaken> TakeEarlier(FolderContents& contents, std::size_t limit) {
    BlockTaken taken = BlockTaken::kAll;
    std::string name;  // the names told are not ended by a zero byte
    const bool known =
        contents.earlier->Entries(contents.st, [&](std::string_view told, unsigned char type) {
            if (taken != BlockTaken::kAll) return;
            name.assign(told);
            taken = TakeEntry(contents, name.c_str(), name.size(), limit, [type] { return type; });
        });
    if (!known) {
        // What was told before the reading gave up is no part of the folder's entries.
        DropEntries(contents);
        contents.failure = {};
        return std::nullopt;
    }
    contents.fromEarlier = true;
    return taken;
}

// Opens to read a folder that was only looked up; false with its failure (the handle closed).
bool OpenToRead(FolderContents& contents) {
    const int fd = ::openat(contents.fd.Get(), ".", kOpenFolderFlags);
    if (fd < 0) contents.failure = FolderFailure::Open(errno);
    contents.fd.Reset(fd);
    if (fd < 0) return false;
    contents.lookedUpOnly = false;
    return true;
}

// Puts the folder's reading back at its first entry, for whoever reads it next. Where the handle
// cannot be wound back, it is opened afresh (a new handle reads from the start); when that fails
// too, the folder is one that could not be read.
void Rewind(FolderContents& contents) {
    if (::lseek(contents.fd.Get(), 0, SEEK_SET) == 0) return;
    const int fd = ::openat(contents.fd.Get(), ".", kOpenFolderFlags);
    if (fd < 0) contents.failure = FolderFailure::Read(errno);
    contents.fd.Reset(fd);
}

}  // namespace

// Entries are typed from the directory itself (a stat only for links and for file systems that
// report no types).
bool ReadEntries(FolderContents& contents, std::size_t limit, const std::function<void()>& pause) {
    // Not zeroed, so that only what the directory fills costs memory.
    contents.readAt = runtime::NanosecondsNow();
    if (contents.earlier != nullptr) {
        // Entries taken from an earlier reading grow as read ones do.
        ReserveForEntries(contents, limit);
        if (const std::optional<BlockTaken> taken = TakeEarlier(contents, limit)) {
            if (*taken != BlockTaken::kTooLarge) return true;
            DropEntries(contents);
            contents.fromEarlier = false;
            return false;
        }
    }
    if (contents.lookedUpOnly && !OpenToRead(contents)) return true;
    thread_local const std::unique_ptr<char[]> block(new char[kReadBlock]);
    ReserveForEntries(contents, limit);
    for (;;) {
        if (pause) pause();
        const ssize_t n = ::getdents64(contents.fd.Get(), block.get(), kReadBlock);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            contents.failure = FolderFailure::Read(errno);
            DropEntries(contents);
            return true;
        }
        if (n == 0) return true;
        switch (TakeBlock(contents, block.get(), n, limit)) {
            case BlockTaken::kAll:
                break;
            case BlockTaken::kEnded:
                return true;
            case BlockTaken::kTooLarge:
                // Too large to read ahead: left whole for whoever needs it.
                DropEntries(contents);
                Rewind(contents);
                return static_cast<bool>(contents.failure);
        }
    }
}

namespace {

bool SameFolderUnchanged(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Lets go of what TakeWithoutReading took: the folder is to be opened and read as any other.
bool TakenBack(FolderContents& contents) {
    DropEntries(contents);
    contents.fd.Reset();
    contents.fromEarlier = false;
    contents.lookedUpOnly = false;
    contents.linksUnresolved = false;
    contents.st = {};
    contents.readAt = 0;
    return false;
}

// Gives the folder looked up as `contents.st` its handle, by its name under `parentFd`: the same
// folder, unchanged.
bool LookUpHandle(int parentFd, const std::string& name, FolderContents& contents) {
    runtime::UniqueFd fd(
        ::openat(parentFd, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    struct stat opened {};
    if (fd && ::fstat(fd.Get(), &opened) == 0 && SameFolderUnchanged(opened, contents.st)) {
        contents.fd = std::move(fd);
        contents.lookedUpOnly = true;
        return true;
    }
    return false;
}

}  // namespace

bool TakeWithoutReading(int parentFd, const std::string& name, FolderContents& contents,
                        std::size_t limit) {
    if (contents.earlier == nullptr || contents.details || parentFd < 0 || contents.fd) {
        return false;
    }
    // Noted before the look: a change in between is seen by the next listing that reuses this one.
    contents.readAt = runtime::NanosecondsNow();
    if (::fstatat(parentFd, name.c_str(), &contents.st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(contents.st.st_mode)) {
        return TakenBack(contents);
    }
    std::optional<BlockTaken> taken = TakeEarlier(contents, limit);
    if (!taken || *taken == BlockTaken::kTooLarge) return TakenBack(contents);
    if (contents.subfolders.empty() && !contents.linksUnresolved) return true;
    if (!LookUpHandle(parentFd, name, contents)) return TakenBack(contents);
    if (!contents.linksUnresolved) return true;
    // Taken again with the handle, which tells links to folders from other links.
    DropEntries(contents);
    contents.linksUnresolved = false;
    taken = TakeEarlier(contents, limit);
    if (!taken || *taken == BlockTaken::kTooLarge) return TakenBack(contents);
    return true;
}

EntryDetails DetailsOf(const struct stat& st) {
    EntryDetails details;
    details.type = S_ISDIR(st.st_mode)   ? 'd'
                   : S_ISREG(st.st_mode) ? 'f'
                   : S_ISLNK(st.st_mode) ? 'l'
                                         : 'o';
    details.size = static_cast<std::uint64_t>(st.st_size);
    details.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    details.device = static_cast<std::uint64_t>(st.st_dev);
    details.inode = static_cast<std::uint64_t>(st.st_ino);
    details.modifiedNs = runtime::Nanoseconds(st.st_mtim);
    details.changedNs = runtime::Nanoseconds(st.st_ctim);
    details.blocks = static_cast<std::uint64_t>(st.st_blocks);
    details.links = static_cast<std::uint64_t>(st.st_nlink);
    return details;
}

namespace {

// Whether `count` entries are in the order SortByName puts them in: those an earlier listing
// holds are (a folder taken from there comes in its listing's order), and telling so costs a
// compare an entry where a sort costs several passes. A folder read from its directory is found
// out of order at once, most often by its first two names.
bool InNameOrder(const FolderEntry* entries, std::size_t count, const FolderContents& contents) {
    for (std::size_t i = 1; i < count; ++i) {
        if (!(contents.Name(entries[i - 1]) < contents.Name(entries[i]))) return false;
    }
    return true;
}

}  // namespace

void SortEntries(FolderContents& contents) {
    for (std::vector<FolderEntry>* entries : {&contents.files, &contents.subfolders}) {
        if (!InNameOrder(entries->data(), entries->size(), contents)) {
            SortByName(entries->data(), entries->size(), contents);
        }
    }
}

bool OpenFolder(int parentFd, const std::string& name, FolderContents& contents) {
    // Opening a folder to read it is what a slow medium charges most for; looking it up is enough
    // for one whose entries an earlier reading holds.
    contents.lookedUpOnly = parentFd >= 0 && contents.earlier != nullptr;
    const int flags = contents.lookedUpOnly ? O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW
                                            : kOpenFolderFlags | O_NOFOLLOW;
    contents.fd.Reset(parentFd >= 0 ? ::openat(parentFd, name.c_str(), flags)
                                    : ::open(name.c_str(), kOpenFolderFlags));
    if (!contents.fd) {
        contents.failure = FolderFailure::Open(errno);
        return false;
    }
    if (::fstat(contents.fd.Get(), &contents.st) != 0) {
        contents.failure = FolderFailure::Open(errno);
        contents.fd.Reset();
        return false;
    }
    return true;
}

}  // namespace quorvale::reading
