// The content hashes a Save keeps, tested in the process so that the thread sanitizer runs the
// reader threads: every hash is what an independent hasher prints for the file, in either order of
// reading; a file changed between two reads of it gets no hash and is named; the readers hand
// results back in the order asked, with threads or without, and stop within a read; an unchanged
// tree is hashed again without a byte of its files read; and the hash files read back refuse
// what is not whole.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "catalogue/compare_moves.h"
#include "catalogue/duplicate_groups.h"
#include "catalogue/earlier_listing.h"
#include "catalogue/hash_file.h"
#include "catalogue/listing_hashes.h"
#include "listing/list_file_name.h"
#include "reading/content_readers.h"
#include "reading/posix_file_system.h"
#include "runtime/nanoseconds.h"
#include "runtime/thread_start.h"
#include "save/listing_save.h"
#include "support/odd_tree.h"
#include "support/test_support.h"

#include <linux/magic.h>

namespace quorvale::test {
namespace {

using reading::HashAlgorithm;

// What an independent hasher prints for the content of `path` (xxhsum -H2, sha256sum), read from
// its standard input so that no name needs quoting.
std::string IndependentHash(const std::string& path, HashAlgorithm algorithm) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    const int saved = ::dup(STDIN_FILENO);
    ::dup2(fd, STDIN_FILENO);
    FILE* tool = ::popen(algorithm == HashAlgorithm::kXxh3 ? "xxhsum -H2" : "sha256sum", "r");
    char out[128] = {};
    const std::size_t got = tool != nullptr ? std::fread(out, 1, sizeof out - 1, tool) : 0;
    if (tool != nullptr) ::pclose(tool);
    ::dup2(saved, STDIN_FILENO);
    ::close(saved);
    ::close(fd);
    const std::string text(out, got);
    return text.substr(0, text.find(' '));
}

// Every hash a listing kept, by the file's path beneath its root (its own bytes).
std::map<std::string, std::string> KeptHashesOf(const std::string& folder) {
    catalogue::KeptListing listing(folder, "read");
    const auto hashes = catalogue::OpenHashes(listing, "read");
    std::map<std::string, std::string> kept;
    catalogue::ForEachHashedEntry(listing, *hashes, [&kept](const catalogue::HashedEntry& entry) {
        EXPECT_TRUE(entry.relative.has_value());
        kept[entry.relative.value_or("")] = reading::HashHex(entry.row.hash);
    });
    return kept;
}

// What the independent hasher prints for every regular file below `root`.
std::map<std::string, std::string> IndependentHashesOf(const std::string& root,
                                                       HashAlgorithm algorithm) {
    std::vector<std::string> entries;
    Walk(root, entries, true);
    std::map<std::string, std::string> hashes;
    for (const std::string& path : entries) {
        struct stat st {};
        if (path.ends_with('/') || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        hashes[path.substr(root.size() + 1)] = IndependentHash(path, algorithm);
    }
    return hashes;
}

// One Save with hashes of `tree`, in the process, into a list folder of its own.
struct HashedSave {
    reading::PosixFileSystem fs;
    Lister lister{fs};
    catalogue::ListingRecord record;

    HashedSave(const std::string& tree, save::Hashing hashing,
               const std::string& reuse = std::string()) {
        reading::ListingOptions options;
        options.details = true;
        options.hash = hashing.algorithm;
        lister.core.SetOptions(options);
        std::unique_ptr<catalogue::EarlierListing> earlier;
        std::unique_ptr<catalogue::KeptHashes> earlierHashes;
        save::Reuse reused;
        if (!reuse.empty()) {
            earlier = std::make_unique<catalogue::EarlierListing>(reuse);
            // As the program does: the rows checked beside the walk.
            earlierHashes = earlier->OpenHashes(catalogue::KeptHashes::RowsCheck::kLater);
            hashing.earlier = earlierHashes.get();
            const auto [device, inode] = earlier->FolderIdentity();
            reused = {reuse, device, inode};
            fs.SetEarlierReading(earlier.get());
        }
        save::SaveListing(lister.core, lister.runtime, tree, reused, hashing);
        fs.SetEarlierReading(nullptr);
        record = catalogue::KeptListing(Folder(), "read").Record();
    }
    const std::string& Folder() const { return lister.programFolder.Path(); }
};

// Unnamed scratch files in a folder, as a Save's list folder gives its writers.
class ScratchFiles {
  public:
    explicit ScratchFiles(const std::string& folder)
        : folder_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    runtime::UniqueFd operator()() const {
        return runtime::UniqueFd(
            ::openat(folder_.Get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    }

  private:
    runtime::UniqueFd folder_;
};

save::Hashing Asked(HashAlgorithm algorithm, bool diskOrder = false) {
    save::Hashing hashing;
    hashing.algorithm = algorithm;
    hashing.order = diskOrder ? reading::ReadOrder::kDisk : reading::ReadOrder::kListing;
    return hashing;
}

void MakeFileOfSize(const std::string& path, std::size_t size, std::mt19937& random) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    MakeFile(path, bytes);
}

// Drops the pages of `path` out of the page cache (written to the disk first).
void Evict(const std::string& path) {
    ASSERT_EQ(std::system(("sync '" + path + "'").c_str()), 0);
    const runtime::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_DONTNEED), 0);
}

// How many bytes of `path` the page cache holds, as fincore (an independent reader) tells;
// `scratch` is a file it may write.
std::uint64_t CachedBytes(const std::string& path, const std::string& scratch) {
    const std::string command =
        "fincore --bytes --noheadings --output RES '" + path + "' > '" + scratch + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << "fincore: util-linux";
    const std::string out = ReadBytes(scratch);  // right-aligned: " 4096"
    return out.find_first_of("0123456789") == std::string::npos ? 0ull : std::stoull(out);
}

constexpr std::size_t kPage = 4096;

// Leaves only the last page of `path` in the page cache, as an appended log's is.
void CacheOnlyTheLastPage(const std::string& path) {
    Evict(path);
    const runtime::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    ASSERT_EQ(::fstat(fd.Get(), &st), 0);
    // No read-ahead around it.
    ASSERT_EQ(::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_RANDOM), 0);
    char byte = 0;
    ASSERT_EQ(::pread(fd.Get(), &byte, 1, st.st_size - 1), 1);
}

bool OnTmpfs(const std::string& path) {
    struct statfs fs {};
    EXPECT_EQ(::statfs(path.c_str(), &fs), 0);
    return fs.f_type == TMPFS_MAGIC;
}

TEST(ContentHashes, EveryHashIsWhatAnIndependentHasherPrintsInEitherOrderOfReading) {
    TempDir dir;
    const std::string tree = dir / "T";
    std::mt19937 random(44);
    MakeFolder(tree);
    MakeOddTree(tree, random);
    MakeFile(tree + "/empty");
    MakeFileOfSize(tree + "/several reads", 2 * reading::kHashReadBytes + 12345, random);
    // Sparse: a hole, then bytes.
    const int fd = ::open((tree + "/sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "end", 3, 3 << 20), 3);
    ::close(fd);
    for (const HashAlgorithm algorithm : {HashAlgorithm::kXxh3, HashAlgorithm::kSha256}) {
        const auto expected = IndependentHashesOf(tree, algorithm);
        for (const bool diskOrder : {false, true}) {
            SCOPED_TRACE(std::string(reading::HashAlgorithmName(algorithm)) +
                         (diskOrder ? " in the disk's order" : " as asked"));
            const HashedSave saved(tree, Asked(algorithm, diskOrder));
            EXPECT_EQ(KeptHashesOf(saved.Folder()), expected);
            ASSERT_TRUE(saved.record.hashes.has_value());
            EXPECT_EQ(saved.record.hashes->files, expected.size());
            EXPECT_EQ(saved.record.hashes->notHashedCount, 0u);
            EXPECT_EQ(saved.record.hashes->algorithm, algorithm);
        }
    }
}

// A file that changes between two of its reads (a test's hook, not a race) gets no hash, whether
// its size changed or only its bytes and its change time; the others are hashed.
TEST(ContentHashes, AFileChangedBetweenTwoReadsGetsNoHashAndIsNamed) {
    TempDir dir;
    const std::string tree = dir / "T";
    std::mt19937 random(7);
    MakeFolder(tree);
    MakeFileOfSize(tree + "/grows", 3 * reading::kHashReadBytes, random);
    MakeFileOfSize(tree + "/rewritten", 3 * reading::kHashReadBytes, random);
    MakeFileOfSize(tree + "/kept", 3 * reading::kHashReadBytes, random);
    save::Hashing hashing = Asked(HashAlgorithm::kXxh3);
    std::vector<std::string> told;
    hashing.notHashed = [&told](const std::string& path, const std::string& why) {
        told.push_back(path + ": " + why);
    };
    hashing.betweenReads = [&tree](const reading::FileToHash& file) {
        const std::string path = tree + "/" + file.path;
        if (file.path == "grows") {
            std::ofstream(path, std::ios::app) << "more";
        } else if (file.path == "rewritten") {
            // The same size and modification time, other bytes: only the change time tells.
            ASSERT_TRUE(RewriteKeepingItsTime(path, "X", 0));
        }
    };
    const HashedSave saved(tree, hashing);
    const auto kept = KeptHashesOf(saved.Folder());
    EXPECT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept.count("kept"), 1u);
    ASSERT_TRUE(saved.record.hashes.has_value());
    EXPECT_EQ(saved.record.hashes->notHashedCount, 2u);
    EXPECT_EQ(told, (std::vector<std::string>{tree + "/grows: changed while hashed",
                                              tree + "/rewritten: changed while hashed"}));
    const std::string recorded =
        ReadBytes(saved.Folder() + "/" + std::string(listing::kRecordName));
    EXPECT_NE(recorded.find("\"path\": \"" + tree + "/grows\",\n"), std::string::npos) << recorded;
    EXPECT_NE(recorded.find("\"reason\": \"changed while hashed\""), std::string::npos);
}

// The readers hand each file back in the order it was asked, with threads and with none to be
// had; in the disk's order the files not cached are read by one reader in the order of their
// places, and those cached whole by every reader; a wait that ends the work stops them within a
// read, and nothing is handed back after.
TEST(ContentHashes, TheReadersHandBackInOrderWithOrWithoutThreadsAndStopWithinARead) {
    TempDir dir;
    std::mt19937 random(3);
    std::vector<std::string> names = NumberedNames("f", 300);
    for (const std::string& name : names) {
        MakeFileOfSize(dir / name, random() % 5000, random);
    }
    const runtime::UniqueFd folder(::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY));
    // Asks `readers` for each of `these`, as listed now.
    const auto askAll = [&dir](reading::ContentReaders& readers,
                               const std::vector<std::string>& these,
                               const reading::ContentReaders::Take& take) {
        for (const std::string& name : these) {
            struct stat st {};
            ::stat((dir / name).c_str(), &st);
            readers.Ask({0, name, 0, reading::DetailsOf(st)}, take);
        }
    };
    const auto hashAll = [&](bool diskOrder) {
        reading::ContentReaders::Setup setup;
        setup.diskOrder = diskOrder;
        setup.readers = diskOrder ? 2 : 3;
        reading::ContentReaders readers(folder.Get(), setup);
        std::vector<std::string> handed;
        const auto take = [&handed](reading::FileToHash& file, reading::HashedFile& hashed) {
            EXPECT_EQ(hashed.outcome, reading::HashedFile::Outcome::kHashed) << file.path;
            handed.push_back(file.path);
        };
        askAll(readers, names, take);
        readers.Finish(take);
        return handed;
    };
    EXPECT_EQ(hashAll(false), names);
    EXPECT_EQ(hashAll(true), names);
    // Cached whole (they were just read), in the disk's order they are read by both readers. The
    // first file asked holds its reader until every file is asked; after it, each file read waits
    // (with a generous bound) until the other reader has read one too.
    {
        reading::ContentReaders::Setup setup;
        setup.diskOrder = true;
        setup.readers = 2;
        std::mutex mutex;
        std::set<std::thread::id> readBy;
        std::atomic<bool> allAsked = false;
        setup.betweenReads = [&](const reading::FileToHash& file) {
            if (file.path == names.front()) {
                WaitUntil([&] { return allAsked.load(); });
                return;
            }
            {
                const std::lock_guard lock(mutex);
                readBy.insert(std::this_thread::get_id());
            }
            WaitUntil([&] {
                const std::lock_guard lock(mutex);
                return readBy.size() > 1;
            });
        };
        reading::ContentReaders readers(folder.Get(), setup);
        const auto ignore = [](reading::FileToHash&, reading::HashedFile&) {};
        askAll(readers, names, ignore);
        allAsked = true;
        readers.Finish(ignore);
        EXPECT_EQ(readBy.size(), 2u);
    }
    // Not cached, one reader takes them by where their first byte lies (each is read in one
    // piece); where the file system cannot tell, as asked.
    bool evicted = true;
    for (const std::string& name : names) {
        const runtime::UniqueFd fd(::open((dir / name).c_str(), O_RDONLY | O_CLOEXEC));
        ::fdatasync(fd.Get());
        ::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_DONTNEED);
        struct stat st {};
        ::fstat(fd.Get(), &st);
        evicted = evicted &&
                  (st.st_size == 0 ||
                   reading::PageCacheCare::Held(fd.Get(), static_cast<std::uint64_t>(st.st_size)) !=
                       reading::FileHashing::Cache::kWhole);
    }
    {
        reading::ContentReaders::Setup setup;
        setup.diskOrder = true;
        setup.readers = 1;
        std::vector<std::uint64_t> places;
        std::mutex mutex;
        // Asked in a shuffled order; the first file asked, cached again, is read at once and holds
        // the reader until every other one is asked, so that they are placed in one window.
        std::vector<std::string> shuffled = names;
        std::shuffle(shuffled.begin(), shuffled.end(), random);
        ReadBytes(dir / shuffled.front());
        std::atomic<bool> allAsked = false;
        setup.betweenReads = [&](const reading::FileToHash& file) {
            if (file.path == shuffled.front()) {
                WaitUntil([&] { return allAsked.load(); });
                return;
            }
            const runtime::UniqueFd fd(::open((dir / file.path).c_str(), O_RDONLY | O_CLOEXEC));
            const std::lock_guard lock(mutex);
            // An empty file waits on no disk: any reader takes it.
            if (file.listed.size != 0) {
                places.push_back(reading::FirstPhysicalByte(fd.Get()).value_or(0));
            }
        };
        reading::ContentReaders readers(folder.Get(), setup);
        const auto ignore = [](reading::FileToHash&, reading::HashedFile&) {};
        askAll(readers, shuffled, ignore);
        allAsked = true;
        readers.Finish(ignore);
        // Where the page cache cannot be emptied of them (tmpfs), they are read as cached.
        std::size_t descents = 0;
        for (std::size_t i = 1; i < places.size(); ++i) descents += places[i] < places[i - 1];
        if (evicted) {
            EXPECT_EQ(descents, 0u) << "files read out of their disk's order";
        }
    }
    runtime::RefuseThreadStarts([](std::uint64_t) { return true; });
    EXPECT_EQ(hashAll(false), names);
    runtime::RefuseThreadStarts({});

    // Many reads long: a reader that went on after the stop would read to its end.
    constexpr int kReads = 64;
    MakeFile(dir / "large", std::string(kReads * reading::kHashReadBytes, 'x'));
    std::atomic<int> reads = 0;
    std::atomic<bool> ended = false;
    reading::ContentReaders::Setup setup;
    setup.betweenReads = [&](const reading::FileToHash&) {
        ++reads;
        WaitUntil([&ended] { return ended.load(); });
    };
    struct Ended {};
    bool handedAfter = false;
    {
        reading::ContentReaders readers(folder.Get(), setup);
        struct stat st {};
        ::stat((dir / "large").c_str(), &st);
        const auto take = [&handedAfter](reading::FileToHash&, reading::HashedFile&) {
            handedAfter = true;
        };
        readers.Ask({0, "large", 0, reading::DetailsOf(st)}, take);
        EXPECT_THROW(readers.Finish(take,
                                    [&] {
                                        if (reads == 0) return;
                                        ended = true;
                                        throw Ended{};
                                    }),
                     Ended);
    }
    EXPECT_FALSE(handedAfter);
    EXPECT_LT(reads.load(), kReads);
}

// Hashing leaves the page cache as it found it: a file none of whose pages were cached has none
// cached after (as fincore, an independent reader, tells), a file that was cached whole still is,
// and so are the cached last pages of one whose first page was not; so for files of many pages and
// for files of one page, which are read from the cache alone first.
// (On tmpfs every page is the file itself: nothing can be told there.)
TEST(ContentHashes, AFileReadFromTheDiskLeavesNothingInTheCacheAndACachedOneStays) {
    TempDir dir;
    if (OnTmpfs(dir.Path())) GTEST_SKIP() << "the temporary folder is on tmpfs";
    const std::string tree = dir / "T";
    MakeFolder(tree);
    MakeFile(tree + "/cold", std::string(3 * reading::kHashReadBytes + 5, 'c'));
    MakeFile(tree + "/warm", std::string(3 * reading::kHashReadBytes + 5, 'w'));
    MakeFile(tree + "/small-cold", std::string(kPage, 's'));
    MakeFile(tree + "/small-warm", std::string(100, 's'));
    MakeFile(tree + "/tail-warm", std::string(64 * kPage + 7, 't'));
    const auto cachedBytes = [&dir](const std::string& file) {
        return CachedBytes(file, dir / "fincore.out");
    };
    // As asked, and in the disk's order, where the files found whole in the cache take a way of
    // their own.
    for (const bool diskOrder : {false, true}) {
        SCOPED_TRACE(diskOrder ? "in the disk's order" : "as asked");
        for (const char* name : {"/cold", "/small-cold"}) Evict(tree + name);
        CacheOnlyTheLastPage(tree + "/tail-warm");
        ASSERT_EQ(cachedBytes(tree + "/cold"), 0u) << "the page cache kept what was dropped";
        ASSERT_EQ(cachedBytes(tree + "/small-cold"), 0u) << "the page cache kept what was dropped";
        const std::uint64_t warm = cachedBytes(tree + "/warm");
        const std::uint64_t tail = cachedBytes(tree + "/tail-warm");
        ASSERT_NE(cachedBytes(tree + "/small-warm"), 0u);
        ASSERT_NE(tail, 0u);
        const HashedSave saved(tree, Asked(HashAlgorithm::kXxh3, diskOrder));
        EXPECT_EQ(cachedBytes(tree + "/cold"), 0u);
        EXPECT_EQ(cachedBytes(tree + "/warm"), warm);
        EXPECT_EQ(cachedBytes(tree + "/small-cold"), 0u);
        EXPECT_NE(cachedBytes(tree + "/small-warm"), 0u);
        // Partly cached, its first page not: what was there stays.
        EXPECT_GE(cachedBytes(tree + "/tail-warm"), tail);
        // (The independent hasher brings every page in: it reads last.)
        EXPECT_EQ(KeptHashesOf(saved.Folder()), IndependentHashesOf(tree, HashAlgorithm::kXxh3));
    }
}

// In the disk's order the files after the one read are asked to be read ahead, so that the disk
// has more than one read to serve at a time; what that brings into the page cache is dropped with
// the rest once each is read.
TEST(ContentHashes, InTheDisksOrderTheFilesAfterTheOneReadAreReadAheadAndDroppedAfter) {
    TempDir dir;
    if (OnTmpfs(dir.Path())) GTEST_SKIP() << "the temporary folder is on tmpfs";
    std::mt19937 random(5);
    const std::vector<std::string> names = NumberedNames("f", 40);
    for (const std::string& name : names) MakeFileOfSize(dir / name, 3 * kPage + 1, random);
    MakeFile(dir / "gate", "held");
    for (const std::string& name : names) Evict(dir / name);
    const auto wholly = [&dir](const std::string& name) {
        const runtime::UniqueFd fd(::open((dir / name).c_str(), O_RDONLY | O_CLOEXEC));
        return reading::PageCacheCare::Held(fd.Get(), 3 * kPage + 1) ==
               reading::FileHashing::Cache::kWhole;
    };
    ASSERT_TRUE(std::none_of(names.begin(), names.end(), wholly)) << "the cache kept them";

    reading::ContentReaders::Setup setup;
    setup.diskOrder = true;
    setup.readers = 1;
    // The gate, cached, holds the one reader until every file is asked, so that the others are
    // swept in one window; while the first of them is read, another comes in without a read.
    std::atomic<bool> allAsked = false;
    std::atomic<bool> firstRead = false;
    bool cameAhead = false;
    setup.betweenReads = [&](const reading::FileToHash& file) {
        if (file.path == "gate") {
            WaitUntil([&] { return allAsked.load(); });
        } else if (!firstRead.exchange(true)) {
            cameAhead = WaitUntil([&] {
                return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
                    return name != file.path && wholly(name);
                });
            });
        }
    };
    const runtime::UniqueFd folder(::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY));
    std::vector<std::string> hashed;
    {
        reading::ContentReaders readers(folder.Get(), setup);
        const auto take = [&](reading::FileToHash& file, reading::HashedFile& result) {
            if (result.outcome == reading::HashedFile::Outcome::kHashed)
                hashed.push_back(file.path);
        };
        std::vector<std::string> asked = {"gate"};
        asked.insert(asked.end(), names.begin(), names.end());
        for (const std::string& name : asked) {
            struct stat st {};
            ASSERT_EQ(::stat((dir / name).c_str(), &st), 0);
            readers.Ask({0, name, 0, reading::DetailsOf(st)}, take);
        }
        allAsked = true;
        readers.Finish(take);
    }
    EXPECT_TRUE(cameAhead) << "no file was read ahead";
    EXPECT_EQ(hashed.size(), names.size() + 1);
    for (const std::string& name : names) {
        EXPECT_EQ(CachedBytes(dir / name, dir / "fincore.out"), 0u) << name;
    }
}

// Amid a run of files found whole in the page cache, each file is asked of the cache before a byte
// of it is read: one of one page not there is left for the disk's order with nothing brought in
// (a read from the cache alone would have begun a read-ahead, on a fast disk done in time for the
// read to succeed), and its reading then drops what it brought in; a larger one whose last pages
// alone are cached (an appended log's) is left with those pages kept.
TEST(ContentHashes, AmidCachedFilesEachIsAskedOfTheCacheBeforeItIsReadOrLeftForTheDisksOrder) {
    TempDir dir;
    if (OnTmpfs(dir.Path())) GTEST_SKIP() << "the temporary folder is on tmpfs";
    const std::string tree = dir / "T";
    MakeFolder(tree);
    std::mt19937 random(11);
    const std::vector<std::string> warm = NumberedNames("warm", 64);
    for (const std::string& name : warm) MakeFileOfSize(tree + "/" + name, 3000, random);
    constexpr std::size_t kSize = 64 * kPage + 7;
    for (const char* name : {"cold", "after-cold"}) MakeFileOfSize(tree + "/" + name, 3000, random);
    for (const char* name : {"partly", "after"}) MakeFileOfSize(tree + "/" + name, kSize, random);
    Evict(tree + "/cold");
    CacheOnlyTheLastPage(tree + "/partly");
    Evict(tree + "/after-cold");
    const std::string scratch = dir / "fincore.out";
    ASSERT_EQ(CachedBytes(tree + "/cold", scratch), 0u) << "the page cache kept what was dropped";
    const std::uint64_t partly = CachedBytes(tree + "/partly", scratch);
    ASSERT_GT(partly, 0u);
    ASSERT_LT(partly, kSize);

    const runtime::UniqueFd root(::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    reading::FileHashing hashing(HashAlgorithm::kXxh3);
    const auto ask = [&](const std::string& name) {
        struct stat st {};
        EXPECT_EQ(::stat((tree + "/" + name).c_str(), &st), 0);
        return hashing.HashIfCached(root.Get(), {0, name, 0, reading::DetailsOf(st)},
                                    reading::HashCheck::kSameFile, {});
    };
    const auto hashOf = [&](const reading::FileHashing::CachedOrPlace& answer) {
        EXPECT_TRUE(answer.hashed.has_value());
        return answer.hashed ? reading::HashHex(answer.hashed->hash) : std::string();
    };
    const auto aRunOfCachedFiles = [&] {
        for (const std::string& name : warm) {
            EXPECT_EQ(hashOf(ask(name)), IndependentHash(tree + "/" + name, HashAlgorithm::kXxh3));
        }
    };
    aRunOfCachedFiles();
    const auto partlyAnswer = ask("partly");
    EXPECT_FALSE(partlyAnswer.hashed.has_value());
    EXPECT_EQ(partlyAnswer.cache, reading::FileHashing::Cache::kSome);
    EXPECT_EQ(CachedBytes(tree + "/partly", scratch), partly) << "a read began before it was asked";
    aRunOfCachedFiles();
    const auto cold = ask("cold");
    EXPECT_FALSE(cold.hashed.has_value());
    EXPECT_EQ(cold.cache, reading::FileHashing::Cache::kNone);
    // Asking starts no read of the file.
    const auto afterCold = ask("after-cold");
    EXPECT_FALSE(afterCold.hashed.has_value());
    EXPECT_EQ(afterCold.cache, reading::FileHashing::Cache::kNone);
    EXPECT_EQ(CachedBytes(tree + "/after-cold", scratch), 0u);
    EXPECT_EQ(hashOf(ask("after")), IndependentHash(tree + "/after", HashAlgorithm::kXxh3));

    // The sweep's reading of those left: the cache as it was found, and the right hash (the
    // independent hasher brings every page in: it reads last).
    std::map<std::string, std::string> hashes;
    for (const auto& [name, answer] :
         {std::pair{"cold", cold}, std::pair{"partly", partlyAnswer}}) {
        struct stat st {};
        ASSERT_EQ(::stat((tree + "/" + name).c_str(), &st), 0);
        const reading::HashedFile hashed =
            hashing.Hash(root.Get(), {0, name, 0, reading::DetailsOf(st)},
                         reading::HashCheck::kSameFile, {}, {}, answer.cache);
        EXPECT_EQ(hashed.outcome, reading::HashedFile::Outcome::kHashed) << name;
        hashes[name] = reading::HashHex(hashed.hash);
    }
    EXPECT_EQ(CachedBytes(tree + "/cold", scratch), 0u);
    EXPECT_GE(CachedBytes(tree + "/partly", scratch), partly);
    for (const auto& [name, hash] : hashes) {
        EXPECT_EQ(hash, IndependentHash(tree + "/" + name, HashAlgorithm::kXxh3)) << name;
    }
}

// A re-listing of an unchanged tree carries every hash over without reading a byte of the files
// (the process reads no more than the earlier listing's own files and a little besides); a file
// changed since is read again, and one only touched too, and both hashes are the fresh ones.
TEST(ContentHashes, AnUnchangedTreeIsHashedAgainWithoutReadingAByteOfItsFiles) {
    TempDir dir;
    const std::string tree = dir / "T";
    std::mt19937 random(11);
    MakeFolder(tree);
    MakeFolder(tree + "/sub");
    std::vector<std::string> files;
    for (int i = 0; i < 20; ++i) {
        files.push_back(tree + (i % 2 == 0 ? "/sub/f" : "/f") + std::to_string(i));
        MakeFileOfSize(files.back(), 256 * 1024, random);
    }
    // A file hashed within a tick of its last change is never carried over: wait for that first.
    WaitUntilOlderThanTheirTick(tree);
    const HashedSave first(tree, Asked(HashAlgorithm::kXxh3));
    std::uint64_t listingBytes = 0;
    std::vector<std::string> listingFiles;
    Walk(first.Folder(), listingFiles, true);
    for (const std::string& path : listingFiles) {
        struct stat st {};
        ::lstat(path.c_str(), &st);
        if (S_ISREG(st.st_mode)) listingBytes += static_cast<std::uint64_t>(st.st_size);
    }
    const std::uint64_t before = BytesReadBy("self");
    const HashedSave again(tree, Asked(HashAlgorithm::kXxh3), first.Folder());
    EXPECT_LE(BytesReadBy("self") - before, listingBytes + (1 << 20));
    ASSERT_TRUE(again.record.hashes.has_value());
    EXPECT_EQ(again.record.hashes->carried, 20u);
    EXPECT_EQ(again.record.hashes->bytesRead, 0u);
    EXPECT_EQ(KeptHashesOf(again.Folder()), KeptHashesOf(first.Folder()));
    // The earlier rows are checked on the walk's own thread when no other can be had.
    runtime::RefuseThreadStarts([](std::uint64_t) { return true; });
    const HashedSave withoutThreads(tree, Asked(HashAlgorithm::kXxh3), first.Folder());
    runtime::RefuseThreadStarts({});
    ASSERT_TRUE(withoutThreads.record.hashes.has_value());
    EXPECT_EQ(withoutThreads.record.hashes->carried, 20u);
    EXPECT_EQ(KeptHashesOf(withoutThreads.Folder()), KeptHashesOf(first.Folder()));

    std::ofstream(files[3], std::ios::app) << "grown";
    ::utimensat(AT_FDCWD, files[4].c_str(), nullptr, 0);  // touched: the same bytes
    const HashedSave third(tree, Asked(HashAlgorithm::kXxh3), again.Folder());
    ASSERT_TRUE(third.record.hashes.has_value());
    EXPECT_EQ(third.record.hashes->carried, 18u);
    EXPECT_EQ(KeptHashesOf(third.Folder()), IndependentHashesOf(tree, HashAlgorithm::kXxh3));
}

// The hash files by size and hash hold every row sorted, also past the rows one run sorts in
// memory; read back, a row is found by its file's identity, and a file that is not whole, or is
// another Save's, is refused.
TEST(ContentHashes, RowsSortedAcrossRunsFoundByIdentityAndAnythingButWholeRefused) {
    TempDir dir;
    MakeFolder(dir / "L");
    const ScratchFiles scratch(dir / "L");
    catalogue::HashFileWriter writer(HashAlgorithm::kXxh3, scratch(), scratch());
    std::mt19937 random(5);
    std::vector<std::pair<std::uint64_t, std::string>> sorted;
    const std::uint64_t rows = 150'000;  // three runs
    for (std::uint64_t entry = 1; entry <= rows; ++entry) {
        catalogue::HashRow row;
        row.entry = entry;
        row.size = random() % 100;
        row.device = 9;
        row.inode = rows - entry;
        row.hash.resize(16);
        for (char& c : row.hash) c = static_cast<char>(random());
        writer.Add(row);
        sorted.emplace_back(row.size, row.hash);
    }
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return std::pair(a.first, std::vector<unsigned char>(a.second.begin(), a.second.end())) <
               std::pair(b.first, std::vector<unsigned char>(b.second.begin(), b.second.end()));
    });
    catalogue::SaveIdentity save;
    save.bytes[0] = 1;
    TestRuntime runtime(dir / "L");
    const runtime::FolderLock lock(dir / "L");
    {
        auto byEntry = runtime.OpenForOutput(lock, "by-entry");
        auto bySize = runtime.OpenForOutput(lock, "by-size");
        writer.Finish(rows + 5, save, *byEntry, *bySize);
        byEntry->Close();
        bySize->Close();
    }
    const std::string bySize = ReadBytes(dir / "L/by-size");
    ASSERT_EQ(bySize.size(), catalogue::kHashHeaderBytes + rows * 32);
    for (std::uint64_t i = 0; i < rows; ++i) {
        const std::size_t at = catalogue::kHashHeaderBytes + i * 32;
        std::uint64_t size = 0;
        std::memcpy(&size, bySize.data() + at, 8);
        ASSERT_EQ(size, sorted[i].first) << i;
        ASSERT_EQ(bySize.substr(at + 8, 16), sorted[i].second) << i;
    }
    const auto open = [&dir] {
        return runtime::UniqueFd(::open((dir / "L/by-entry").c_str(), O_RDONLY | O_CLOEXEC));
    };
    catalogue::KeptHashes kept(open(), rows + 5, save);
    EXPECT_EQ(kept.Rows(), rows);
    const catalogue::HashRow* found = kept.Find(9, 100);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->entry, rows - 100);
    EXPECT_EQ(kept.Find(8, 100), nullptr);
    catalogue::SaveIdentity other = save;
    other.bytes[1] = 1;
    EXPECT_THROW(catalogue::KeptHashes(open(), rows + 5, other), runtime::RuntimeError);
    EXPECT_THROW(catalogue::KeptHashes(open(), rows + 4, save), runtime::RuntimeError);
    const int fd = ::open((dir / "L/by-entry").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(::pwrite(fd, "!", 1, catalogue::kHashHeaderBytes + 1000), 1);
    ::close(fd);
    EXPECT_THROW(catalogue::KeptHashes(open(), rows + 5, save), runtime::RuntimeError);

    // The rows by size are checked as they are read: a hash changed among them is refused by the
    // time the last row is read.
    const auto readBySize = [&dir, &save] {
        catalogue::HashesBySize sizes(
            runtime::UniqueFd(::open((dir / "L/by-size").c_str(), O_RDONLY | O_CLOEXEC)), rows + 5,
            save);
        std::uint64_t count = 0;
        while (sizes.Next()) ++count;
        return count;
    };
    EXPECT_EQ(readBySize(), rows);
    const int sizes = ::open((dir / "L/by-size").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(::pwrite(sizes, "!", 1, catalogue::kHashHeaderBytes + 1000 * 32 + 9), 1);
    ::close(sizes);
    EXPECT_THROW(readBySize(), runtime::RuntimeError);
}

// A Save made again from an earlier one writes the same two files whether it follows the earlier
// Save's rows or not: whole copies of them while every row is the same, and the rows read back,
// summed and sorted from the first that differs, past the rows one run sorts, from a scratch file
// or from memory. Rows by size that are not whole are never copied.
TEST(ContentHashes, AnEarlierSavesRowsAreTakenOnlyWhileEveryRowIsTheSame) {
    TempDir dir;
    MakeFolder(dir / "L");
    const ScratchFiles scratch(dir / "L");
    std::mt19937 random(43);
    std::vector<catalogue::HashRow> earlierRows;
    const std::uint64_t rows = 70'000;  // two runs
    for (std::uint64_t entry = 1; entry <= rows; ++entry) {
        catalogue::HashRow row{entry, random() % 50, 9, entry + 7, 1, 2, 3, std::string(16, 'h')};
        for (char& c : row.hash) c = static_cast<char>(random() % 4);  // many alike
        earlierRows.push_back(row);
    }
    catalogue::SaveIdentity save;
    save.bytes[0] = 7;
    TestRuntime runtime(dir / "L");
    const runtime::FolderLock lock(dir / "L");
    // Both files of `rows` written as `name`, following the earlier Save when it is given.
    const auto write = [&](const std::string& name, const std::vector<catalogue::HashRow>& added,
                           bool scratchFiles, const catalogue::KeptHashes* earlier,
                           catalogue::HashesBySize* earlierBySize) {
        catalogue::HashFileWriter writer(HashAlgorithm::kXxh3,
                                         scratchFiles ? scratch() : runtime::UniqueFd(),
                                         scratchFiles ? scratch() : runtime::UniqueFd());
        if (earlier != nullptr) writer.Follow(*earlier, earlierBySize);
        for (const catalogue::HashRow& row : added) writer.Add(row);
        auto byEntry = runtime.OpenForOutput(lock, name + "-by-entry");
        auto bySize = runtime.OpenForOutput(lock, name + "-by-size");
        writer.Finish(rows + 3, save, *byEntry, *bySize);
        byEntry->Close();
        bySize->Close();
        return ReadBytes(dir / ("L/" + name + "-by-entry")) + "|" +
               ReadBytes(dir / ("L/" + name + "-by-size"));
    };
    const std::string earlierFiles = write("E", earlierRows, true, nullptr, nullptr);
    const auto open = [&dir](const std::string& name) {
        return runtime::UniqueFd(::open((dir / ("L/" + name)).c_str(), O_RDONLY | O_CLOEXEC));
    };
    const auto follow = [&](const std::vector<catalogue::HashRow>& added, bool scratchFiles) {
        catalogue::KeptHashes earlier(open("E-by-entry"), rows + 3, save);
        catalogue::HashesBySize earlierBySize(open("E-by-size"), rows + 3, save);
        const std::string followed = write("F", added, scratchFiles, &earlier, &earlierBySize);
        EXPECT_EQ(followed, write("P", added, scratchFiles, nullptr, nullptr));
        return followed;
    };
    EXPECT_EQ(follow(earlierRows, true), earlierFiles);

    std::vector<catalogue::HashRow> changed = earlierRows;
    changed[66'000].hash[3] = 'x';  // past the first run
    follow(changed, true);
    follow(changed, false);
    changed = earlierRows;
    changed.pop_back();
    follow(changed, true);
    changed = earlierRows;
    changed.push_back({rows + 1, 5, 9, 1, 1, 2, 3, std::string(16, 'n')});
    follow(changed, true);
    changed = earlierRows;
    changed[0].readAt = 4;
    follow(changed, false);

    // The earlier rows by size with a row changed and their header still whole: sorted anew.
    const int sizes = ::open((dir / "L/E-by-size").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(::pwrite(sizes, "!", 1, catalogue::kHashHeaderBytes + 5000 * 32 + 9), 1);
    ::close(sizes);
    EXPECT_EQ(follow(earlierRows, true), earlierFiles);
}

// The groups of copies are the same whether the threads beside the merge start or not, and a stop
// asked from either thread ends the grouping with what it threw, the thread beside joined.
TEST(ContentHashes, CopiesAreGroupedAlikeWithOrWithoutThreadsAndAStopEndsThem) {
    TempDir dir;
    std::vector<catalogue::ListingToSearch> listings;
    std::vector<std::unique_ptr<HashedSave>> saves;
    for (const char* name : {"/one", "/two"}) {
        const std::string tree = dir / name;
        MakeFolder(tree);
        MakeFolder(tree + "/same");
        MakeFile(tree + "/same/a", "the same in both trees");
        MakeFile(tree + "/same/b", "and this too");
        MakeFile(tree + "/own", tree);
        MakeFile(tree + "/copy of a", "the same in both trees");
        saves.push_back(std::make_unique<HashedSave>(tree, Asked(HashAlgorithm::kXxh3)));
        listings.push_back({saves.back()->Folder(), saves.back()->record});
    }
    const auto describe = [](const std::vector<catalogue::DuplicateGroup>& groups) {
        std::string text;
        for (const auto& group : groups) {
            text += std::to_string(group.size) + ":";
            for (const auto& copy : group.copies) text += copy.path + "|";
            text += "\n";
        }
        return text;
    };
    const std::string both = describe(catalogue::FindDuplicates(listings, {}));
    // The copies of a in the folder left out are told with the folder; the one kept is a copy.
    EXPECT_EQ(both, "22:" + dir / "one/copy of a|" + dir / "one/same/a|" +
                        dir / "two/copy of a|\n" + "34:" + dir / "one/same/|" +
                        dir / "two/same/|\n");
    const std::uint64_t refusedBefore = runtime::ThreadStartsRefused();
    runtime::RefuseThreadStarts([](std::uint64_t) { return true; });
    const std::string alone = describe(catalogue::FindDuplicates(listings, {}));
    runtime::RefuseThreadStarts({});
    EXPECT_EQ(alone, both);
    EXPECT_EQ(runtime::ThreadStartsRefused() - refusedBefore, 2u);  // beside the merge, the reads
    // The first checks are made by the thread that opens the listings beside the merge.
    for (int stopAt = 1; stopAt <= 2; ++stopAt) {
        std::atomic<int> checks{0};
        EXPECT_THROW(catalogue::FindDuplicates(listings, {},
                                               [&] {
                                                   if (++checks == stopAt) {
                                                       throw std::runtime_error("stopped");
                                                   }
                                               }),
                     std::runtime_error);
    }
}

// What a comparison holds to pair its moves is bounded: past the bound, what was held is told
// (its moves paired) and the rest as it comes, removed and added, said once.
TEST(ContentHashes, MovesAreToldWithinTheBoundAndTheRestAsRemovedAndAdded) {
    std::vector<std::string> told;
    std::vector<std::string> warnings;
    const std::function<void(std::string_view)> difference = [&](std::string_view line) {
        told.emplace_back(line);
    };
    const std::function<void(std::string_view)> warning = [&](std::string_view line) {
        warnings.emplace_back(line);
    };
    catalogue::MovesTold moves(difference, warning, true, 7, 9);
    const auto file = [](std::uint64_t device, std::uint64_t inode) {
        catalogue::EntryIdentity identity;
        identity.inodeKnown = true;
        identity.device = device;
        identity.inode = inode;
        return identity;
    };
    const std::string details = "f\t5\t2026-01-02T03:04:05Z\t";
    // The old root's device stands for the new root's.
    moves.Removed("/r/a", details, false, file(7, 1));
    moves.Added("/r/b", details, false, file(9, 1));
    for (std::size_t i = 3; i < catalogue::MovesTold::kMaxHeld; ++i) {
        moves.Removed("/r/gone" + std::to_string(i), details, false, file(7, 100 + i));
    }
    EXPECT_TRUE(warnings.empty());
    moves.Removed("/r/c", details, false, file(7, 2));  // the bound: what is held is told
    moves.Added("/r/d", details, false, file(9, 2));
    moves.Finish();
    ASSERT_EQ(told.size(), catalogue::MovesTold::kMaxHeld);
    EXPECT_EQ(told.front(), ">\t/r/a\t/r/b");
    EXPECT_EQ(told[told.size() - 2], "-\t/r/c");
    EXPECT_EQ(told.back(), "+\t/r/d");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("told as removed and added"), std::string::npos) << warnings[0];
}

}  // namespace
}  // namespace quorvale::test
