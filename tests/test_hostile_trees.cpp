// Trees and faults met on real drives: random trees checked against an independent walk, odd
// names, very deep and very wide folders, trees that change while they are walked, and list files
// that cannot be written.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>

#include <gtest/gtest.h>

#include "support/fake_file_system.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

using Lines = std::vector<std::string>;

class HostileTrees : public ::testing::Test {
  protected:
    HostileTrees() : lister(fs) {}

    // The Save command's sequence on `path`; returns every line of the list files.
    Lines Save(const std::string& path) {
        const int first = lister.core.ListFileNumber();
        lister.Save(path);
        EXPECT_EQ(first, 1);
        return ListFileLines(lister.programFolder.Path(), lister.core.ListFileNumber() - 1);
    }

    TempDir dir;
    reading::PosixFileSystem fs;
    Lister lister;
};

// --- An independent walk: nftw, then the documented order built from its entries. ---

std::map<std::string, std::pair<Lines, Lines>>* gEntries;  // folder -> (files, subfolders)

int Collect(const char* path, const struct stat*, int type, struct FTW* at) {
    const std::string full(path);
    if (at->level == 0) return 0;
    const std::string parent = full.substr(0, static_cast<std::size_t>(at->base) - 1);
    auto& [files, folders] = (*gEntries)[parent];
    (type == FTW_D || type == FTW_DNR ? folders : files).push_back(full.substr(at->base));
    return 0;
}

Lines IndependentListing(const std::string& root) {
    std::map<std::string, std::pair<Lines, Lines>> entries;
    gEntries = &entries;
    EXPECT_EQ(::nftw(root.c_str(), Collect, 64, FTW_PHYS), 0);
    Lines lines = {root};
    std::vector<std::string> pending = {root};
    while (!pending.empty()) {
        const std::string folder = pending.back();
        pending.pop_back();
        lines.push_back("\t" + folder);
        auto [files, folders] = entries[folder];
        std::sort(files.begin(), files.end());
        std::sort(folders.begin(), folders.end());
        for (const auto& f : files) lines.push_back("\t\t" + f);
        for (auto it = folders.rbegin(); it != folders.rend(); ++it)
            pending.push_back(folder + "/" + *it);
    }
    return lines;
}

// A random tree: random depth and fan-out, empty folders, files at every level, names with spaces,
// tabs, punctuation, UTF-8 and bytes that are not UTF-8.
void BuildRandomTree(const std::string& root, unsigned seed, int targetEntries) {
    std::mt19937 random(seed);
    const std::string alphabet = "abcXYZ019 _-.,;'()[]{}!#%&+=~\t\xC3\xA9\xFF\x80";
    const auto name = [&] {
        std::string n;
        const int length = 1 + static_cast<int>(random() % 12);
        for (int i = 0; i < length; ++i) n += alphabet[random() % alphabet.size()];
        return n == "." || n == ".." ? n + "x" : n;
    };
    std::vector<std::pair<std::string, int>> folders = {{root, 0}};
    int made = 0;
    for (std::size_t i = 0; i < folders.size() && made < targetEntries; ++i) {
        const auto [folder, depth] = folders[i];
        const int files = static_cast<int>(random() % 9);
        for (int f = 0; f < files; ++f, ++made) MakeFile(folder + "/" + name() + ".f");
        const int subfolders = depth >= 7 ? 0 : static_cast<int>(random() % 5);
        for (int s = 0; s < subfolders; ++s, ++made) {
            const std::string path = folder + "/" + name();
            if (::mkdir(path.c_str(), 0755) == 0) folders.push_back({path, depth + 1});
        }
    }
    // Should the tree have stopped branching early, fill its folders up to the size asked for.
    for (std::size_t i = 0; made < targetEntries; i = (i + 1) % folders.size(), ++made) {
        MakeFile(folders[i].first + "/" + name() + ".g");
    }
}

TEST_F(HostileTrees, RandomTreesMatchAnIndependentWalk) {
    for (const unsigned seed : {1u, 2u, 3u, 4u}) {
        TempDir tree;
        BuildRandomTree(tree.Path(), seed, 3000);
        Lister one(fs);
        one.Save(tree.Path());
        const Lines listed = ListFileLines(one.programFolder.Path(), one.core.ListFileNumber() - 1);
        EXPECT_EQ(listed, IndependentListing(tree.Path())) << "seed " << seed;
    }
}

TEST_F(HostileTrees, RandomTreeOverSeveralListFilesMatchesAnIndependentWalk) {
    BuildRandomTree(dir.Path(), 7, 70000);
    const Lines listed = Save(dir.Path());
    EXPECT_GE(lister.core.ListFileNumber(), 4);  // three full files at least
    EXPECT_EQ(listed, IndependentListing(dir.Path()));
}

TEST_F(HostileTrees, NamesThatCouldForgeLinesAreWrittenVisibly) {
    const std::string r = dir / "R";
    MakeFolder(r);
    MakeFile(r + "/cr\rname");
    MakeFile(r + "/lf\n\t\tforged");
    MakeFolder(r + "/folder\nwith lf");
    MakeFile(r + "/folder\nwith lf/inside");
    const Lines lines = Save(r);
    EXPECT_EQ(lines, (Lines{r, "\t" + r, "\t\tcr\xE2\x90\x8Dname", "\t\tlf\xE2\x90\x8A\t\tforged",
                            "\t" + r + "/folder\xE2\x90\x8Awith lf", "\t\tinside"}));
}

TEST_F(HostileTrees, TreeFiveThousandFoldersDeepListsAsFindDoes) {
    int fd = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
        const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
        ASSERT_GE(next, 0);
        if (i % 100 == 0) ::close(::openat(next, "file", O_CREAT | O_WRONLY, 0644));
        ::close(fd);
        fd = next;
    }
    ::close(fd);
    const Lines lines = Save(dir.Path());
    ASSERT_EQ(lines.size(), 1 + 5001 + 50u);
    EXPECT_GT(lines.back().size(), 4096u * 2);

    const std::string found = dir.Path() + ".find";
    ASSERT_EQ(std::system(("find '" + dir.Path() + "' -printf '%p\\n' > '" + found + "'").c_str()),
              0);
    Lines expected;
    std::string all = ReadBytes(found);
    ::unlink(found.c_str());
    for (std::size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos;
         start = end + 1) {
        expected.push_back(all.substr(start, end - start));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListedPaths(lines), expected);
}

TEST_F(HostileTrees, HundredThousandFilesInOneFolder) {
    const int fd = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 100000; ++i) {
        ::close(::openat(fd, ("f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644));
    }
    ::close(fd);
    const Lines lines = Save(dir.Path());
    EXPECT_EQ(lister.core.ListFileNumber(), 5);  // 32000 + 32000 + 32000 + 4002 lines
    ASSERT_EQ(lines.size(), 100002u);
    EXPECT_TRUE(std::is_sorted(lines.begin() + 2, lines.end()));
    EXPECT_EQ(lines[2], "\t\tf0");
}

TEST_F(HostileTrees, ThirtyThousandEmptyFoldersSideBySideKeepTheWindowAlive) {
    const int fd = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 30000; ++i) ::mkdirat(fd, ("e" + std::to_string(i)).c_str(), 0755);
    ::close(fd);
    long yields = 0;
    lister.core.SetYield([&yields] { ++yields; });
    const Lines lines = Save(dir.Path());
    EXPECT_EQ(lines.size(), 30002u);
    // A yield after every folder line, though there is no file (and more while a slow disk makes
    // a list file durable).
    EXPECT_GE(yields, 30001);
}

TEST_F(HostileTrees, FoldersRenamedOrRemovedDuringTheWalk) {
    const std::string r = dir / "R";
    MakeFolder(r);
    MakeFolder(r + "/a");
    MakeFolder(r + "/a/b");
    MakeFile(r + "/a/b/f1");
    MakeFile(r + "/a/b/f2");
    MakeFolder(r + "/a/b/c");
    MakeFile(r + "/a/b/c/g");
    MakeFolder(r + "/later");
    MakeFile(r + "/later/h");
    fs.SetReadAhead(0);  // each folder is read when the walk reaches it
    int yields = 0;
    lister.core.SetYield([&] {
        if (++yields != 4) return;  // after the folder line of R/a/b and f1
        // Rename an ancestor of the folder being walked, and one not yet reached.
        ASSERT_EQ(::rename((r + "/a").c_str(), (r + "/z").c_str()), 0);
        ASSERT_EQ(::rename((r + "/later").c_str(), (r + "/moved").c_str()), 0);
    });
    // The walk holds each folder open, so R/a goes on under the name it was read by; R/later is
    // gone from where it was read and is left out; R/moved was not there when R was read.
    EXPECT_EQ(Save(r), (Lines{r, "\t" + r, "\t" + r + "/a", "\t" + r + "/a/b", "\t\tf1", "\t\tf2",
                              "\t" + r + "/a/b/c", "\t\tg"}));
}

TEST(DiskFull, InTheMiddleOfAListFileStopsTheSave) {
    FakeFileSystem fs;
    fs.Add("/R", NumberedNames("f", 70000));
    Lister lister(fs);
    MakeFile(lister.ListFile(2), "an earlier run's ListTex2.txt");
    lister.runtime.failOutput = 1;  // the second list file fills the disk half-way
    lister.runtime.failAfterLines = 16000;
    lister.buffer.AddItem("/R");
    try {
        lister.core.ListFolder("/R");
        FAIL() << "the failed write must stop the walk";
    } catch (const runtime::RuntimeError& e) {
        EXPECT_EQ(e.Number(), runtime::DiskFull);
        EXPECT_NE(std::string(e.what()).find(lister.ListFile(2)), std::string::npos);
    }
    EXPECT_EQ(SplitListFile(ReadBytes(lister.ListFile(1))).size(), 32000u);
    // No part-written file passes for a whole one, and the earlier file of that number is kept.
    EXPECT_EQ(ReadBytes(lister.ListFile(2)), "an earlier run's ListTex2.txt");
    EXPECT_EQ(LeftoverFiles(lister.programFolder.Path()), std::vector<std::string>{});
    EXPECT_EQ(lister.runtime.openOutputs, 0);
    EXPECT_EQ(lister.core.ListFileNumber(), 2);
    EXPECT_EQ(lister.buffer.ListCount(), 32000);  // nothing listed is lost
}

TEST_F(HostileTrees, UnwritableProgramFolderAndReadOnlyListFile) {
    MakeFolder(dir / "tree");
    MakeFile(dir / "tree/a");
    MakeFolder(dir / "closed");  // root's, not writable by others
    MakeFolder(dir / "open");
    ASSERT_EQ(::chmod((dir / "open").c_str(), 0777), 0);
    MakeFile(dir / "open/ListTex1.txt", "kept");
    ASSERT_EQ(::chmod((dir / "open/ListTex1.txt").c_str(), 0444), 0);

    const std::string out = RunUnprivileged([&] {
        std::string report;
        for (const std::string& folder : {dir / "closed", dir / "open"}) {
            listing::ListingBuffer buffer;
            TestRuntime runtime(folder);
            listing::ListingCore core(buffer, fs, runtime);
            core.SetListFileNumber(1);
            try {
                buffer.AddItem(dir / "tree");
                core.ListFolder(dir / "tree");
                core.SaveList();
                report += "saved\n";
            } catch (const runtime::RuntimeError& e) {
                report += std::to_string(e.Number()) + " " + e.what() + " lines " +
                          std::to_string(buffer.ListCount()) + " open " +
                          std::to_string(runtime.openOutputs) + "\n";
            }
        }
        return report;
    });
    EXPECT_EQ(out, "70 Cannot open file \"" + dir / "closed" +
                       "/ListTex1.txt\": Permission denied lines 3 open 0\n"
                       "70 Cannot write file \"" +
                       dir / "open" + "/ListTex1.txt\": the file is read-only lines 3 open 0\n");
    EXPECT_EQ(ReadBytes(dir / "open/ListTex1.txt"), "kept");
    EXPECT_FALSE(Exists(dir / "closed/ListTex1.txt"));
}

}  // namespace
}  // namespace quorvale::test
