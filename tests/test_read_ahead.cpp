// Reading ahead through the tuning a test can replace: reads in flight on a slow medium, handles
// and bytes within their budgets, the walk's two ways of reading a folder nobody requested, and a
// reader that runs out of handles.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "reading/earlier_reading.h"
#include "reading/read_plan.h"
#include "reading/read_tuning.h"
#include "reading/reader_pool.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

using Lines = std::vector<std::string>;
using reading::ReadTuning;

// `fanOut` subfolders per folder, `levels` deep, each folder with `files` files (at least two).
void MakeBushyTree(const std::string& root, int fanOut, int levels, int files = 2) {
    MakeFile(root + "/a");
    MakeFile(root + "/b");
    for (const std::string& name : NumberedNames("f", files - 2, 100)) MakeFile(root + "/" + name);
    if (levels == 0) return;
    for (const std::string& name : NumberedNames("d", fanOut, 10)) {
        MakeFolder(root + "/" + name);
        MakeBushyTree(root + "/" + name, fanOut, levels - 1, files);
    }
}

// The lines a walk of `root` gives on a file system with `tuning`, and what reading ahead did.
struct Walked {
    Lines lines;
    reading::ReadAheadStats stats;
    std::size_t incomplete = 0;
};
Walked Walk(const std::string& root, const ReadTuning& tuning, std::function<void()> yield = {},
            const reading::ListingOptions& options = {}) {
    reading::PosixFileSystem fs(0, tuning);
    Lister lister(fs);
    lister.core.SetOptions(options);
    lister.core.SetYield(std::move(yield));
    lister.core.ListFolder(root);
    return {lister.Lines(), fs.ReadStats(), lister.core.IncompleteCount()};
}

std::size_t OpenHandles() {
    std::size_t count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

TEST(ReadAhead, OnASlowMediumManyReadsRunAtOnceAndReachLevelsBelowTheWalk) {
    TempDir dir;
    MakeBushyTree(dir.Path(), 4, 3, 40);  // 85 folders of 40 files
    ReadTuning slow;
    slow.openDelay = std::chrono::milliseconds(3);
    ReadTuning oneAtATime;
    oneAtATime.foldersAhead = 0;
    oneAtATime.handover = ReadTuning::Handover::kAlwaysWalk;
    // The walk's caller takes its time over every line, as a window catching up does.
    const Walked ahead =
        Walk(dir.Path(), slow, [] { std::this_thread::sleep_for(std::chrono::microseconds(200)); });
    EXPECT_TRUE(ahead.lines == Walk(dir.Path(), oneAtATime).lines);
    EXPECT_GE(ahead.stats.mostReadsAtOnce, 8u);
    EXPECT_GE(ahead.stats.deepestAhead, 2u);
}

// What the walk leaves out by name is never read ahead either: not the excluded folder, not what
// lies below it.
TEST(ReadAhead, AnExcludedFolderIsNeverReadAhead) {
    TempDir dir;
    MakeFolder(dir / "a-kept");
    MakeBushyTree(dir / "a-kept", 2, 2);  // 6 folders below it
    MakeFolder(dir / "skip");
    MakeBushyTree(dir / "skip", 4, 3);  // 84 folders below it
    ReadTuning slow;
    slow.openDelay = std::chrono::milliseconds(1);
    const auto pause = [] { std::this_thread::sleep_for(std::chrono::microseconds(200)); };
    reading::ListingOptions options;
    options.excludes = {"sk*"};
    const Walked excluded = Walk(dir.Path(), slow, pause, options);
    for (const std::string& line : excluded.lines) {
        EXPECT_EQ(line.find("/skip"), std::string::npos) << line;
    }
    EXPECT_LE(excluded.stats.requested, 7u);
    const Walked whole = Walk(dir.Path(), slow, pause);
    EXPECT_GE(whole.stats.requested, 50u);  // the same tree is read ahead where it is listed
}

TEST(ReadAhead, TheWalkReadingItselfAndHandingEveryFolderOverListTheSameLines) {
    TempDir dir;
    MakeBushyTree(dir.Path(), 4, 4);
    MakeLink(dir / "d10", dir / "link");
    ReadTuning walkOnly;
    walkOnly.foldersAhead = 0;
    walkOnly.handover = ReadTuning::Handover::kAlwaysWalk;
    ReadTuning readerOnly;
    readerOnly.foldersAhead = 0;
    readerOnly.handover = ReadTuning::Handover::kAlwaysReader;
    const Walked byWalk = Walk(dir.Path(), walkOnly);
    const Walked byReader = Walk(dir.Path(), readerOnly);
    const Walked byDefault = Walk(dir.Path(), ReadTuning{});
    ASSERT_EQ(byWalk.lines.size(), 341u + 2u * 341u + 1u);
    EXPECT_TRUE(byWalk.lines == byReader.lines);
    EXPECT_TRUE(byWalk.lines == byDefault.lines);
    EXPECT_EQ(byWalk.stats.handedOver, 0u);
    EXPECT_EQ(byReader.stats.handedOver, 340u);  // every folder but the top
    EXPECT_EQ(byReader.stats.readByWalk, 1u);
}

// An earlier reading that holds every other folder of a tree, in the order the tests' own readdir
// walk meets them (never by their inode numbers, which a file system may give all of one
// parity), and one name more in one of them, so that what it told shows in the lines.
class HalfTheTree final : public reading::EarlierReading {
  public:
    HalfTheTree(const std::string& root, std::string ghostIn) : ghostIn_(std::move(ghostIn)) {
        Read(root);
    }
    bool Entries(const struct stat& st, const Entry& entry) const override {
        const auto it = folders_.find(st.st_ino);
        if (it == folders_.end() || !Holds(st.st_ino)) return false;
        for (const auto& [name, type] : it->second) entry(name, type);
        told_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    std::size_t Told() const { return told_.load(); }
    bool Holds(ino_t inode) const { return held_.count(inode) != 0; }
    std::uint64_t GhostInode() const { return ghostInode_; }

  private:
    void Read(const std::string& folder) {
        struct stat st {};
        ASSERT_EQ(::lstat(folder.c_str(), &st), 0);
        auto& entries = folders_[st.st_ino];
        if (folders_.size() % 2 == 1) held_.insert(st.st_ino);
        if (folder == ghostIn_) {
            entries.emplace_back("zz-ghost", DT_REG);
            ghostInode_ = st.st_ino;
        }
        DIR* dir = ::opendir(folder.c_str());
        ASSERT_NE(dir, nullptr);
        std::vector<std::string> below;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            entries.emplace_back(name, entry->d_type);
            if (entry->d_type == DT_DIR) below.push_back(folder + "/" + name);
        }
        ::closedir(dir);
        for (const std::string& sub : below) Read(sub);
    }

    std::string ghostIn_;
    std::map<ino_t, std::vector<std::pair<std::string, unsigned char>>> folders_;
    std::set<ino_t> held_;
    std::uint64_t ghostInode_ = 0;
    mutable std::atomic<std::size_t> told_{0};
};

// The entries of a folder an earlier reading holds are taken from it (on the readers, by the
// walk, handed over), every other folder is read, and the lines are the walk's own but for what
// the earlier reading told.
TEST(ReadAhead, AFolderAnEarlierReadingHoldsIsTakenFromItAndTheOthersAreRead) {
    TempDir dir;
    MakeBushyTree(dir.Path(), 4, 3);
    MakeLink(dir / "d10", dir / "link");
    Lines expected = Walk(dir.Path(), ReadTuning{}).lines;
    // The ghost's folder: the first below the top that the earlier reading holds.
    std::string ghostIn;
    const HalfTheTree which(dir.Path(), "");
    for (const std::string& line : expected) {
        struct stat st {};
        if (line.size() > 1 && line[0] == '\t' && line[1] != '\t' && line != "\t" + dir.Path() &&
            ::lstat(line.c_str() + 1, &st) == 0 && S_ISDIR(st.st_mode) && which.Holds(st.st_ino)) {
            ghostIn = line.substr(1);
            break;
        }
    }
    ASSERT_FALSE(ghostIn.empty());
    const auto folderLine = std::find(expected.begin(), expected.end(), "\t" + ghostIn);
    auto after = folderLine + 1;
    while (after != expected.end() && after->starts_with("\t\t")) ++after;
    expected.insert(after, "\t\tzz-ghost");
    for (const ReadTuning::Handover handover :
         {ReadTuning::Handover::kAlwaysWalk, ReadTuning::Handover::kAlwaysReader,
          ReadTuning::Handover::kByReadTime}) {
        const HalfTheTree earlier(dir.Path(), ghostIn);
        ReadTuning tuning;
        tuning.handover = handover;
        tuning.earlierReading = &earlier;
        const Walked walked = Walk(dir.Path(), tuning);
        EXPECT_TRUE(walked.lines == expected) << static_cast<int>(handover);
        EXPECT_GT(earlier.Told(), 0u);
    }
}

TEST(ReadAhead, ManyLargeSiblingsNeverHoldMoreThanTheByteBudgetPlusOneFolder) {
    TempDir dir;
    constexpr int kNames = 3000;
    const std::string longName(96, 'n');
    for (const std::string& sibling : NumberedNames("s", 6, 10)) {
        MakeFolder(dir / sibling);
        for (const std::string& name : NumberedNames(longName, kNames, 1000)) {
            MakeFile(dir / sibling + "/" + name);
        }
    }
    const std::size_t oneFolder = kNames * (1 + longName.size() + 4 + 4);
    ReadTuning small;
    small.bytesAhead = 256 << 10;
    small.foldersAhead = 8;  // 32 KiB a folder: each sibling is only opened ahead
    const Walked walked = Walk(dir.Path(), small);
    EXPECT_EQ(walked.lines.size(), 1u + 6u * (1u + kNames));
    EXPECT_GT(walked.stats.mostBytesHeld, oneFolder / 2);
    EXPECT_LE(walked.stats.mostBytesHeld, small.bytesAhead + oneFolder + 1024);
}

TEST(ReadAhead, AWalkThatLeavesWhileAReaderStillReadsGivesEveryHandleBack) {
    TempDir dir;
    MakeBushyTree(dir.Path(), 5, 2);
    struct Leaving {};
    ReadTuning slow;
    slow.openDelay = std::chrono::milliseconds(40);
    const std::size_t before = OpenHandles();
    {
        reading::PosixFileSystem fs(0, slow);
        Lister lister(fs);
        int lines = 0;
        lister.core.SetYield([&lines] {
            if (++lines == 4) throw Leaving{};  // readers are still opening the folders ahead
        });
        EXPECT_THROW(lister.core.ListFolder(dir.Path()), Leaving);
        // The file system lives on, as in the window; its readers finish and let go.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (OpenHandles() != before && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(OpenHandles(), before);
        // And a later walk still lists everything.
        lister.core.SetYield({});
        lister.buffer.Clear();
        lister.core.ListFolder(dir.Path());
        EXPECT_EQ(lister.buffer.ListCount(), 31 + 2 * 31);
    }
}

TEST(ReadAhead, AReaderOutOfHandlesHandsItsFolderBackAndNothingIsReported) {
    TempDir dir;
    MakeBushyTree(dir.Path(), 5, 3);
    ReadTuning reference;
    reference.foldersAhead = 0;
    const Lines expected = Walk(dir.Path(), reference).lines;
    const std::string out = RunInChild([&] {
        const rlimit limit{64, 64};
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ReadTuning readersOnly;  // every folder is read by a reader
        readersOnly.handover = ReadTuning::Handover::kAlwaysReader;
        reading::PosixFileSystem fs(0, readersOnly);
        Lister lister(fs);
        // Fill the handle table but for a few: the readers meet EMFILE, the walk frees its own.
        std::vector<int> filler;
        for (int fd; (fd = ::dup(0)) >= 0;) filler.push_back(fd);
        for (int i = 0; i < 4 && !filler.empty(); ++i) {
            ::close(filler.back());
            filler.pop_back();
        }
        lister.core.ListFolder(dir.Path());
        const reading::ReadAheadStats stats = fs.ReadStats();
        return std::to_string(lister.core.IncompleteCount()) + " incomplete, " +
               (lister.Lines() == expected ? "as expected" : "not as expected") +
               (stats.handedBack > 0 ? ", handed back" : ", none handed back");
    });
    EXPECT_EQ(out, "0 incomplete, as expected, handed back");
}

TEST(ReadAhead, AWalkAfterOneThatRanOutOfHandlesRequestsWithTheWholeBudgetAgain) {
    TempDir dir;
    MakeBushyTree(dir.Path(), 8, 1);
    reading::ReadPlan plan(ReadTuning{}, 16);
    const auto enter = [&] {
        reading::FolderContents top;
        EXPECT_TRUE(reading::OpenFolder(-1, dir.Path(), top));
        return plan.EnterTop(std::move(top), {});
    };
    reading::PlannedFolder* first = enter();
    EXPECT_EQ(plan.HandlesCharged(), 16u);  // eight requests of two
    // Requests a reader had begun stay charged until it lets go of them.
    const auto settle = [&plan](std::size_t charged) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (plan.HandlesCharged() > charged && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            plan.TopUp();
        }
        return plan.HandlesCharged();
    };
    plan.FreeHandles();
    EXPECT_LE(settle(2), 2u);
    plan.Leave(*first);
    EXPECT_EQ(settle(0), 0u);
    reading::PlannedFolder* second = enter();
    EXPECT_EQ(plan.HandlesCharged(), 16u);
    plan.Leave(*second);
}

std::size_t Threads() {
    std::size_t count = 0;
    DIR* dir = ::opendir("/proc/self/task");
    while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

TEST(ReadAhead, ReaderThreadsStartOnlyWhenWanted) {
    // A sanitizer starts a thread of its own with the process's second one: let it, first.
    std::thread([] {}).join();
    const std::size_t before = Threads();
    {
        reading::ReaderPool pool(32, 2, 0);
        EXPECT_EQ(Threads(), before + 2);
        pool.SetConcurrency(5);
        EXPECT_EQ(Threads(), before + 5);
        pool.SetConcurrency(1);  // fewer at work; none is stopped
        EXPECT_EQ(Threads(), before + 5);
        pool.SetConcurrency(100);
        EXPECT_EQ(Threads(), before + 32);
    }
    EXPECT_EQ(Threads(), before);
}

// Every folder charged to a request is given back once the walk takes it, so reading ahead goes
// on to the end of a walk, with a budget of 16 folders, across a tree of 400.
TEST(ReadAhead, EveryRequestsChargeIsGivenBackSoReadingAheadLastsTheWholeWalk) {
    TempDir dir;
    MakeBushyTree(dir.Path(), 7, 3);  // 400 folders
    ReadTuning tuning;
    tuning.openDelay = std::chrono::milliseconds(1);  // a slow medium: the readers do the reading
    tuning.foldersAhead = 16;
    tuning.foldersAheadFromCache = 16;
    const Walked walked = Walk(dir.Path(), tuning);
    EXPECT_EQ(walked.lines.size(), 400u + 400u * 2);
    EXPECT_GE(walked.stats.requested, 300u);
}

// With --one-file-system, what lies below a folder on another device is never read ahead.
TEST(ReadAhead, NothingBelowAFolderOnAnotherDeviceIsReadAheadOnOneFileSystem) {
    TempDir dir;
    MakeFolder(dir / "R");
    MakeFolder(dir / "R/mnt");
    const TmpfsMount drive(dir / "R/mnt", "4m");
    if (!drive.WhyNot().empty()) GTEST_SKIP() << drive.WhyNot();
    MakeBushyTree(dir / "R/mnt", 4, 3);  // 84 folders below the mount point
    ReadTuning slow;
    slow.openDelay = std::chrono::milliseconds(1);
    reading::ListingOptions options;
    options.oneFileSystem = true;
    const Walked walked = Walk(dir / "R", slow, {}, options);
    EXPECT_EQ(walked.lines, (Lines{"\t" + dir / "R", "\t" + dir / "R/mnt"}));
    EXPECT_LE(walked.stats.requested, 2u);
}

// Holds the one reader of `pool` on a task of its own until `release` is set; whether it was
// held.
bool HoldTheReader(reading::ReaderPool& pool, std::atomic<bool>& release) {
    auto held = std::make_shared<std::atomic<bool>>(false);
    pool.Run([held, &release] {
        *held = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    return WaitUntil([&held] { return held->load(); });
}

// The readers take reads ahead in the walk's depth-first order, whatever order they were asked
// in: with one reader, a, a/x, b, c, although a/x was asked for last.
TEST(ReaderPool, ReadsAheadAreTakenInTheWalksOrder) {
    TempDir dir;
    for (const char* folder : {"a", "a/x", "b", "c"}) MakeFolder(dir / folder);
    reading::ReaderPool pool(1, 1, 0, std::chrono::milliseconds(20));
    const auto top = std::make_shared<const reading::WalkOrder>(nullptr, 0);
    const auto request = [&dir](std::shared_ptr<const reading::WalkOrder> order,
                                const std::string& name) {
        auto read = std::make_shared<reading::ReadRequest>();
        read->name = dir / name;
        read->order = std::move(order);
        return read;
    };
    const auto a = request(std::make_shared<const reading::WalkOrder>(top, 0), "a");
    const auto b = request(std::make_shared<const reading::WalkOrder>(top, 1), "b");
    const auto c = request(std::make_shared<const reading::WalkOrder>(top, 2), "c");
    const auto ax = request(std::make_shared<const reading::WalkOrder>(a->order, 0), "a/x");
    // The one reader is held until every read is queued.
    std::atomic<bool> release = false;
    ASSERT_TRUE(HoldTheReader(pool, release));
    pool.Submit({a, b, c});
    pool.Submit({ax});
    release = true;
    // One reader marks them done one after another: whenever one is done, so is every read
    // before it in the walk's order. Looked at from the last to the first.
    const std::vector<std::shared_ptr<reading::ReadRequest>> order{a, ax, b, c};
    bool allDone = false;
    while (!allDone) {
        std::vector<bool> done(order.size());
        for (std::size_t i = order.size(); i-- > 0;) done[i] = order[i]->Done();
        for (std::size_t i = 1; i < order.size(); ++i) {
            ASSERT_FALSE(done[i] && !done[i - 1]) << "read " << i << " came before read " << i - 1;
        }
        allDone = done.back() && done.front();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// A walk that waits, from the page cache, for a read a reader runs does the reads queued next
// itself, in the walk's order, rather than spin: with the one reader held, waiting for the last
// of four reads asked ends once the walk has read all four; without helping it waits.
TEST(ReaderPool, AWaitingWalkRunsTheReadsQueuedNextItself) {
    TempDir dir;
    for (const char* folder : {"a", "b", "c", "d"}) MakeFolder(dir / folder);
    MakeFile(dir / "c/inside");
    reading::ReaderPool pool(1, 1, 0);
    const auto top = std::make_shared<const reading::WalkOrder>(nullptr, 0);
    std::vector<std::shared_ptr<reading::ReadRequest>> reads;
    for (std::size_t i = 0; i < 4; ++i) {
        auto read = std::make_shared<reading::ReadRequest>();
        read->name = dir / std::string(1, static_cast<char>('a' + i));
        read->order = std::make_shared<const reading::WalkOrder>(top, i);
        reads.push_back(std::move(read));
    }
    std::atomic<bool> release = false;
    ASSERT_TRUE(HoldTheReader(pool, release));
    pool.Submit(reads);
    // Without helping the wait goes on while the reader is held: ended by the caller's wait.
    struct Ended {};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    EXPECT_THROW(pool.WaitFor(
                     *reads.back(), std::chrono::milliseconds(1), {},
                     [&] {
                         if (std::chrono::steady_clock::now() > deadline) throw Ended{};
                     },
                     false),
                 Ended);
    EXPECT_FALSE(reads.front()->Done());
    // Helping, the walk reads them all, in order, on its own thread; a generous bound for a
    // loaded machine.
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int progress = 0;
    EXPECT_NO_THROW(pool.WaitFor(
        *reads.back(), std::chrono::milliseconds(10), [&] { ++progress; },
        [&] {
            if (std::chrono::steady_clock::now() > bound) throw Ended{};
        },
        true));
    release = true;
    for (const auto& read : reads) EXPECT_TRUE(read->Done()) << read->name;
    EXPECT_EQ(progress, 4);
    EXPECT_EQ(pool.ReadsFinished(), 4u);
    EXPECT_EQ(reads[2]->contents.Bytes() > reads[0]->contents.Bytes(), true)
        << "c holds a file, a holds none";
}

}  // namespace
}  // namespace quorvale::test
