// A listing is complete or says where it is not: folders whose handles were closed are reached
// again by name, the open-file limit never cuts a walk, failures other than permission are
// remembered with their reasons, and memory grows with the depth, not with its square.
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "reading/posix_file_system.h"
#include "runtime/thread_start.h"
#include "support/fake_file_system.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

using Lines = std::vector<std::string>;

// Makes a chain of `depth` folders below `root` named by `name(level)`, with a file "f" in every
// `fileEvery`-th of them and, beside every `sideEvery`-th (0: none), a sibling folder "s<level>"
// with a file "g". Returns the chain's paths.
Lines MakeChain(const std::string& root, int depth, const std::function<std::string(int)>& name,
                int fileEvery = 1, int sideEvery = 1) {
    Lines paths;
    std::string path = root;
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < depth; ++level) {
        const std::string here = name(level);
        EXPECT_EQ(::mkdirat(fd, here.c_str(), 0755), 0);
        if (sideEvery != 0 && level % sideEvery == 0) {
            const std::string sibling = "s" + std::to_string(level);
            EXPECT_EQ(::mkdirat(fd, sibling.c_str(), 0755), 0);
            const int s = ::openat(fd, sibling.c_str(), O_RDONLY | O_DIRECTORY);
            ::close(::openat(s, "g", O_CREAT | O_WRONLY, 0644));
            ::close(s);
        }
        const int next = ::openat(fd, here.c_str(), O_RDONLY | O_DIRECTORY);
        if (level % fileEvery == 0) ::close(::openat(next, "f", O_CREAT | O_WRONLY, 0644));
        ::close(fd);
        fd = next;
        path += "/" + here;
        paths.push_back(path);
    }
    ::close(fd);
    return paths;
}

std::string Level(int level) {
    return "d" + std::to_string(1000 + level);  // "d..." sorts before the siblings "s..."
}

// A folder above the walk moved away (and, in the second case, another made in its place under the
// same name): every sibling is listed or named as incomplete, and the impostor is never listed,
// since each folder reached again by name is checked by device and inode.
TEST(CompleteListing, AFolderMovedAboveTheWalkKeepsEverySiblingOrReportsIt) {
    for (const bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "replaced" : "moved");
        TempDir dir;
        const std::string root = dir / "R";
        MakeFolder(root);
        const Lines chain = MakeChain(root, 200, Level);
        reading::PosixFileSystem fs(8);  // a small budget, so that shallow handles are closed
        Lister lister(fs);
        bool moved = false;
        lister.core.SetYield([&] {
            // At the bottom of the walk, move level 10 elsewhere.
            if (!moved && lister.buffer.ListCount() > 0 &&
                lister.buffer.Line(lister.buffer.ListCount() - 1) == "\t" + chain.back()) {
                ASSERT_EQ(::rename(chain[10].c_str(), (dir / "moved").c_str()), 0);
                if (replaced) {
                    // The same names all the way down, with a stranger's file at every level.
                    std::string path = chain[10];
                    for (int level = 10; level < 200; ++level) {
                        MakeFolder(path);
                        MakeFile(path + "/impostor");
                        MakeFolder(path + "/s" + std::to_string(level + 1));
                        MakeFile(path + "/s" + std::to_string(level + 1) + "/impostor");
                        if (level + 1 < 200) path += "/" + Level(level + 1);
                    }
                }
                moved = true;
            }
        });
        lister.Save(root);
        ASSERT_TRUE(moved);
        const Lines lines = ListFileLines(lister.programFolder.Path(), 1);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "\t\timpostor"), 0);
        const Lines listed = ListedPaths(lines);
        Lines reported;
        for (const auto& folder : lister.core.IncompleteFolders()) reported.push_back(folder.path);
        // Every sibling folder is either listed with its file, or reported: those above the moved
        // folder are reached again by name, and the rest are counted and named (the first hundred).
        Lines missing;
        for (int level = 0; level < 199; ++level) {
            const std::string parent = level == 0 ? root : chain[level - 1];
            const std::string sibling = parent + "/s" + std::to_string(level);
            const bool isListed = std::binary_search(listed.begin(), listed.end(), sibling) &&
                                  std::binary_search(listed.begin(), listed.end(), sibling + "/g");
            if (isListed) continue;
            EXPECT_GE(level, 10) << sibling;
            missing.push_back(sibling);
        }
        EXPECT_EQ(lister.core.IncompleteCount(), missing.size());
        std::sort(missing.begin(), missing.end());
        for (const std::string& path : reported) {
            EXPECT_TRUE(std::binary_search(missing.begin(), missing.end(), path)) << path;
        }
        ASSERT_FALSE(reported.empty());
        EXPECT_NE(lister.core.IncompleteFolders()[0].reason.find(replaced ? "moved or replaced"
                                                                          : "moved or removed"),
                  std::string::npos)
            << lister.core.IncompleteFolders()[0].reason;
    }
}

// A chain `depth` folders deep below `root` ("d1000", "d1001", ...), a file "f" every third level
// and a side folder "s<level>" with a file "g" every fifth; returns the listing a Save of `root`
// writes, built from that description alone.
Lines MakeChainWithSides(const std::string& root, int depth) {
    Lines paths{root};
    for (std::string& path : MakeChain(root, depth, Level, 3, 5)) paths.push_back(std::move(path));
    // Down the chain, each level's file after its folder line; then, coming back up, the side
    // folders, deepest first (each after the chain folder beside it).
    Lines lines{root, "\t" + root};
    for (int level = 0; level < depth; ++level) {
        lines.push_back("\t" + paths[level + 1]);
        if (level % 3 == 0) lines.emplace_back("\t\tf");
    }
    for (int level = depth - 1; level >= 0; --level) {
        if (level % 5 != 0) continue;
        lines.push_back("\t" + paths[level] + "/s" + std::to_string(level));
        lines.emplace_back("\t\tg");
    }
    return lines;
}

// Under any open-file limit from 16 up, a walk never drops a folder for want of a handle: the
// readers' requests are charged their handles before they are made, a reader that meets EMFILE
// hands its folder back, and climbing back to a closed ancestor is retried, never reported as a
// vanished folder.
TEST(CompleteListing, ADeepChainWithSidesListsCompletelyUnderAnyOpenFileLimit) {
    TempDir dir;
    const std::string root = dir / "R";
    MakeFolder(root);
    const Lines expected = MakeChainWithSides(root, 600);
    for (const rlim_t files : {16, 24, 32, 48}) {
        for (int run = 0; run < 3; ++run) {
            const std::string out = RunInChild([&] {
                const rlimit limit{files, files};
                ::setrlimit(RLIMIT_NOFILE, &limit);
                reading::PosixFileSystem fs;  // sized from the limit
                Lister lister(fs);
                lister.Save(root);
                const Lines lines = ListFileLines(lister.programFolder.Path(), 1);
                std::string said = std::to_string(lister.core.IncompleteCount()) + " incomplete";
                for (const auto& folder : lister.core.IncompleteFolders()) {
                    said += "; " + folder.path + ": " + folder.reason;
                }
                said = said.substr(0, 300);  // the first reason is enough
                return said + (lines == expected ? ", as expected" : ", not as expected");
            });
            EXPECT_EQ(out, "0 incomplete, as expected") << files << " files, run " << run;
        }
    }
}

// When the system gives no thread (none at all, or not the third asked for), a Save goes on with
// the threads it has, the walk's own at the least, and writes every line a Save with threads
// writes: on a fast medium, and on a slow one where every folder is handed to a reader.
TEST(CompleteListing, WithoutThreadsToSpareASaveWritesEveryLineOnTheThreadsItHas) {
    TempDir dir;
    const std::string root = dir / "R";
    MakeFolder(root);
    const Lines expected = MakeChainWithSides(root, 120);
    reading::ReadTuning slow;
    slow.handover = reading::ReadTuning::Handover::kAlwaysReader;
    slow.openDelay = std::chrono::microseconds(200);
    const std::vector<std::pair<std::string, std::function<bool(std::uint64_t)>>> refusals = {
        {"none", {}},
        {"every", [](std::uint64_t) { return true; }},
        {"the third", [](std::uint64_t n) { return n == 3; }},
    };
    for (const reading::ReadTuning& tuning : {reading::ReadTuning{}, slow}) {
        for (const auto& [which, refuse] : refusals) {
            const std::uint64_t refusedBefore = runtime::ThreadStartsRefused();
            runtime::RefuseThreadStarts(refuse);
            reading::PosixFileSystem fs(0, tuning);
            Lister lister(fs);
            lister.Save(root);
            runtime::RefuseThreadStarts({});
            EXPECT_EQ(ListFileLines(lister.programFolder.Path(), 1), expected)
                << which << " refused, " << (tuning.openDelay.count() > 0 ? "slow" : "fast");
            EXPECT_EQ(lister.core.IncompleteCount(), 0u) << which;
            EXPECT_EQ(runtime::ThreadStartsRefused() > refusedBefore, refuse != nullptr) << which;
        }
    }
}

// The record describes the drive the walk read, through the walk's own handle of the chosen
// folder, never whatever its path names once the walk is over (here /proc, put in its place).
TEST(CompleteListing, TheRecordDescribesTheDriveTheWalkRead) {
    TempDir dir;
    const std::string root = dir / "R";
    MakeFolder(root);
    for (int i = 0; i < 50; ++i) MakeFile(root + "/f" + std::to_string(i));
    reading::PosixFileSystem fs;
    Lister lister(fs);
    bool moved = false;
    lister.core.SetYield([&] {
        if (moved) return;
        moved = true;
        ASSERT_EQ(::rename(root.c_str(), (root + "-moved").c_str()), 0);
        ASSERT_EQ(::symlink("/proc", root.c_str()), 0);
    });
    lister.Save(root);
    lister.core.SetYield({});
    ASSERT_TRUE(moved);
    const std::string record = ReadBytes(lister.programFolder.Path() + "/quorvale-listing.json");
    EXPECT_EQ(record.find("\"type\": \"proc\""), std::string::npos) << record;
    EXPECT_NE(record.find("\"type\": \""), std::string::npos) << record;
    ::unlink(root.c_str());
    RemoveTree(root + "-moved");
}

TEST(CompleteListing, ReadErrorsAndAMissingStartingFolderAreRememberedWithTheirReasons) {
    FakeFileSystem fs;
    fs.Add("/R", {"a"});
    fs.Add("/R/s", {"c"});
    fs.Add("/R/t", {"d"});
    fs.Fail(Call::Files, "/R/s", runtime::DeviceIOError);
    fs.Fail(Call::Open, "/R/t", runtime::PermissionDenied);  // denials show in the listing
    Lister lister(fs);
    lister.Save("/R");
    ASSERT_EQ(lister.core.IncompleteCount(), 1u);
    EXPECT_EQ(lister.core.IncompleteFolders()[0].path, "/R/s");
    EXPECT_EQ(lister.core.IncompleteFolders()[0].reason, "injected fault on /R/s");

    lister.Save("/gone");
    ASSERT_EQ(lister.core.IncompleteCount(), 1u);
    EXPECT_EQ(lister.core.IncompleteFolders()[0].path, "/gone");
    EXPECT_EQ(ReadBytes(lister.ListFile(2)), "/gone\r\n");
}

long PeakResidentKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST(CompleteListing, MemoryOfADeepChainIsItsLinesPlusAFewMebibytes) {
    if (kSanitized) GTEST_SKIP() << "the sanitizers' allocators keep freed memory and shadow it";
    TempDir dir;
    const std::string root = dir / "R";
    MakeFolder(root);
    MakeChain(
        root, 1500, [](int level) { return std::to_string(1000 + level) + std::string(251, 'n'); },
        1, 0);
    const std::string out = RunInChild([&] {
        reading::PosixFileSystem fs;
        Lister lister(fs);
        const long before = PeakResidentKiB();
        lister.core.ListFolder(root);  // 1,501 lines, no flush: the buffer holds them all
        std::size_t bytes = 0;
        for (std::int16_t i = 0; i < lister.buffer.ListCount(); ++i) {
            bytes += lister.buffer.Line(i).size();
        }
        const long grown = PeakResidentKiB() - before;
        return std::to_string(bytes / 1024) + " " + std::to_string(grown);
    });
    long linesKiB = 0;
    long grownKiB = 0;
    ASSERT_EQ(std::sscanf(out.c_str(), "%ld %ld", &linesKiB, &grownKiB), 2) << out;
    std::printf("lines %.1f MiB, peak growth %.1f MiB\n", static_cast<double>(linesKiB) / 1024,
                static_cast<double>(grownKiB) / 1024);
    EXPECT_GT(linesKiB, 250 * 1024);
    EXPECT_LE(grownKiB, linesKiB + 8 * 1024);
}

}  // namespace
}  // namespace quorvale::test
