// The walk on real folders: order, links and special files, odd names, trees past the path limit,
// denied folders walked as an unprivileged user, and a tree that changes while it is walked.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <stdexcept>

#include <gtest/gtest.h>

#include "reading/folder_read.h"
#include "runtime/folder_path.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

const std::string kDenialLine(listing::kDenialLine);
using Lines = std::vector<std::string>;

class PosixWalk : public ::testing::Test {
  protected:
    PosixWalk() : lister(fs) {}
    Lines Walk(const std::string& path) {
        lister.buffer.Clear();
        lister.core.ListFolder(path);
        return lister.Lines();
    }

    TempDir dir;
    reading::PosixFileSystem fs;
    Lister lister;
};

TEST_F(PosixWalk, ListsFilesUnderTheirFolderThenEachSubfolder) {
    const std::string r = dir / "R";
    MakeFolder(r);
    MakeFile(r + "/b");
    MakeFile(r + "/a");
    MakeFolder(r + "/s");
    MakeFile(r + "/s/c");
    MakeFolder(r + "/empty");
    lister.Save(r);
    EXPECT_EQ(ReadBytes(lister.ListFile(1)), r + "\r\n\t" + r + "\r\n\t\ta\r\n\t\tb\r\n\t" + r +
                                                 "/empty\r\n\t" + r + "/s\r\n\t\tc\r\n");
    EXPECT_EQ(lister.core.ListFileNumber(), 2);

    // Relative paths and trailing separators name the same folder.
    ASSERT_EQ(::chdir(dir.Path().c_str()), 0);
    EXPECT_EQ(Walk("R/")[0], "\t" + r);
    EXPECT_EQ(Walk(r + "//./s/")[0], "\t" + r + "/s");
    EXPECT_EQ(runtime::AbsoluteFolderPath("///"), "/");
    ASSERT_EQ(::chdir("/"), 0);
}

TEST_F(PosixWalk, SortsNamesByTheirBytes) {
    for (const char* name : {"b", "B", "a", "_x", "\xC3\xA9", "10", "9", ".hidden"}) {
        MakeFile(dir / name);
    }
    EXPECT_EQ(Walk(dir.Path()), (Lines{"\t" + dir.Path(), "\t\t.hidden", "\t\t10", "\t\t9", "\t\tB",
                                       "\t\t_x", "\t\ta", "\t\tb", "\t\t\xC3\xA9"}));
}

// Past 65,536 names a folder is first split by its names' bytes: the order must stay the same, for
// names that share long beginnings, that begin other names, and that hold bytes above 127.
TEST_F(PosixWalk, SortsAFolderOfManyNamesByTheirBytes) {
    std::set<std::string> names;
    for (int i = 0; i < 70000; ++i) {
        names.insert("file_" + std::to_string(i) + ".dat");
        if (i % 7 == 0) names.insert(std::string(240, 'p') + std::to_string(i));
        if (i % 11 == 0) names.insert("\xFF\xFE" + std::to_string(i));
        if (i % 13 == 0) names.insert("file_" + std::to_string(i / 10));
    }
    const int fd = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (const std::string& name : names) {
        const int file = ::openat(fd, name.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(file, 0) << name;
        ::close(file);
    }
    ::close(fd);
    Lines expected = {"\t" + dir.Path()};
    for (const std::string& name : names) expected.push_back("\t\t" + name);
    lister.Save(dir.Path());  // more lines than the buffer holds: read back from the list files
    Lines listed = ListFileLines(lister.programFolder.Path(), lister.core.ListFileNumber() - 1);
    ASSERT_EQ(listed.size(), expected.size() + 1);
    listed.erase(listed.begin());  // the root line
    EXPECT_TRUE(listed == expected);
}

// Sorting alone, at every size it treats differently (by insertion, by eight-byte keys a byte at a
// time, split in place above a quarter million names), against the standard library's byte order:
// names equal in their first 8 or 16 bytes, names that begin others, long shared beginnings, names
// of 255 bytes and more, bytes above 127.
TEST(SortingNames, EveryRunSizeGivesTheBytesOrder) {
    std::mt19937 random(7);
    const auto nameOf = [&random](std::size_t i) {
        std::string name;
        switch (i % 6) {
            case 0:
                name = "file" + std::to_string(i) + ".txt";
                break;
            case 1:
                name = "IMG_2023" + std::to_string(i % 97) + "_" + std::to_string(i);
                break;
            case 2:
                name = std::string(8 + i % 17, 'a') + std::to_string(i);
                break;
            case 3:
                name = std::string(250 + i % 20, 'p') + std::to_string(i);
                break;
            case 4:
                name = "\xFF\x80" + std::to_string(random() % 1000) + "." + std::to_string(i);
                break;
            default:
                name = std::to_string(i / 6);
                break;  // begins names of other shapes
        }
        return name;
    };
    // 600,000 names make a folder of 400,000 files: past the split, with names of every shape
    // (0xFF at the start among them) on both sides of it.
    for (const std::size_t count : {2u, 23u, 25u, 300u, 5000u, 300000u, 600000u}) {
        reading::FolderContents contents;
        std::vector<std::string> expected;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string name = nameOf(i);
            expected.push_back(name);
            const auto at = static_cast<std::uint32_t>(contents.names.size());
            if (name.size() < 255) {
                contents.names += static_cast<char>(name.size());
            } else {
                contents.names += static_cast<char>(255);
                contents.names += static_cast<char>(name.size() & 0xff);
                contents.names += static_cast<char>(name.size() >> 8);
            }
            contents.names += name;
            (i % 3 == 0 ? contents.subfolders : contents.files).push_back({at});
        }
        std::shuffle(contents.files.begin(), contents.files.end(), random);
        reading::SortEntries(contents);
        std::vector<std::string> sorted;
        for (const auto entries : {&contents.subfolders, &contents.files}) {
            std::vector<std::string> names;
            for (const reading::FolderEntry entry : *entries)
                names.emplace_back(contents.Name(entry));
            EXPECT_TRUE(std::is_sorted(names.begin(), names.end())) << count << " names";
            sorted.insert(sorted.end(), names.begin(), names.end());
        }
        std::sort(sorted.begin(), sorted.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_TRUE(sorted == expected) << count << " names: some lost or doubled";
    }
}

// Reading ahead, many folders deep and within any handle budget, lists exactly what reading each
// folder when the walk reaches it lists: the same lines in the same order.
TEST_F(PosixWalk, ReadingAheadListsWhatReadingOneFolderAtATimeLists) {
    const std::string r = dir / "R";
    MakeFolder(r);
    std::vector<std::string> level{r};
    for (int depth = 0; depth < 5; ++depth) {
        std::vector<std::string> next;
        for (std::size_t i = 0; i < level.size(); ++i) {
            MakeFile(level[i] + "/file" + std::to_string(i % 3));
            for (std::size_t k = 0; k < (i * 7 + depth + 3) % 6; ++k) {
                next.push_back(level[i] + "/sub" + std::to_string(k));
                MakeFolder(next.back());
            }
        }
        level = std::move(next);
    }
    ASSERT_EQ(::symlink(r.c_str(), (r + "/loop").c_str()), 0);
    std::string chain = r + "/sub0";
    for (int depth = 0; depth < 40; ++depth) MakeFolder(chain += "/c");

    const auto walk = [&r](std::size_t budget, std::size_t readAhead) {
        reading::PosixFileSystem posix(budget);
        posix.SetReadAhead(readAhead);
        Lister walker(posix);
        walker.core.ListFolder(r);
        return walker.Lines();
    };
    const Lines oneAtATime = walk(0, 0);
    ASSERT_GT(oneAtATime.size(), 300u);
    EXPECT_TRUE(walk(0, reading::ReadTuning{}.foldersAhead) == oneAtATime);
    EXPECT_TRUE(walk(8, reading::ReadTuning{}.foldersAhead) == oneAtATime);  // two ahead at most
    EXPECT_TRUE(walk(64, 3) == oneAtATime);
}

// The walk holds one chain of folders: a folder whose later sibling was opened may no longer be
// used, and saying so loudly beats indexing past the chain's end.
TEST(PosixFolders, AFolderUsedAfterItsNextSiblingWasOpenedFailsLoudly) {
    TempDir dir;
    for (const char* folder : {"top", "top/a", "top/a/x", "top/b"}) MakeFolder(dir / folder);
    reading::PosixFileSystem fs(0, reading::ReadTuning{.foldersAhead = 0});
    std::unique_ptr<reading::Folder> top = fs.GetFolder(dir / "top");
    std::unique_ptr<reading::Folder> a = top->OpenSubFolder("a");
    top->OpenSubFolder("b").reset();
    for (const auto& use : std::vector<std::function<void()>>{
             [&] { a->OpenSubFolder("x"); }, [&] { a->Files(); }, [&] { a->SubFolders(); }}) {
        try {
            use();
            ADD_FAILURE() << "an earlier sibling was used without a word";
        } catch (const std::logic_error& error) {
            EXPECT_NE(std::string(error.what()).find("top/a\" used after a later sibling"),
                      std::string::npos)
                << error.what();
        }
    }
    // Its parent goes on: the next subfolder opens and is read.
    EXPECT_TRUE(top->OpenSubFolder("b")->Files()->AtEnd());
}

TEST_F(PosixWalk, KeepsOddNamesByteForByte) {
    const Lines names = {" lead",
                         "trail ",
                         "tab\there",
                         "-dash",
                         "latin1 \xE9\xE8",
                         std::string(255, 'n'),
                         "Permission Denied"};
    for (const auto& name : names) MakeFile(dir / name);
    Lines expected = {"\t" + dir.Path()};
    Lines sorted = names;
    std::sort(sorted.begin(), sorted.end());
    for (const auto& name : sorted) expected.push_back("\t\t" + name);
    EXPECT_EQ(Walk(dir.Path()), expected);
}

TEST_F(PosixWalk, LinksToFoldersAreListedButNotEnteredAndSpecialFilesAreFiles) {
    const std::string r = dir / "R";
    MakeFolder(r);
    MakeFolder(r + "/real");
    MakeFile(r + "/real/inside");
    MakeLink(".", r + "/self");
    MakeLink("..", r + "/up");
    MakeLink("/", r + "/root");
    MakeLink("real", r + "/tofolder");
    MakeLink("real/inside", r + "/tofile");
    MakeLink("nowhere", r + "/dangling");
    ASSERT_EQ(::mkfifo((r + "/fifo").c_str(), 0644), 0);
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sockPath = r + "/sock";
    ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
    std::copy(sockPath.begin(), sockPath.end(), addr.sun_path);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    EXPECT_EQ(Walk(r), (Lines{"\t" + r, "\t\tdangling", "\t\tfifo", "\t\tsock", "\t\ttofile",
                              "\t" + r + "/real", "\t\tinside", "\t" + r + "/root",
                              "\t" + r + "/self", "\t" + r + "/tofolder", "\t" + r + "/up"}));
    ::close(sock);
}

TEST_F(PosixWalk, MissingOrEmptyStartingFolderLeavesOnlyTheRootLine) {
    lister.Save(dir / "missing");
    lister.Save("");
    MakeFile(dir / "file");
    lister.Save(dir / "file");
    EXPECT_EQ(ReadBytes(lister.ListFile(1)), dir / "missing" + "\r\n");
    EXPECT_EQ(ReadBytes(lister.ListFile(2)), "\r\n");
    EXPECT_EQ(ReadBytes(lister.ListFile(3)), dir / "file" + "\r\n");
}

// Builds a chain of `depth` folders named `name` below `top`, each holding one file, and beside
// every chain folder a leaf folder "z" with one file, so that the walk must come back to every
// level. Built by handles, since the paths pass the system's limit.
void BuildDeepTree(const std::string& top, int depth, const std::string& name) {
    int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < depth; ++i) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
        ASSERT_EQ(::mkdirat(fd, "z", 0755), 0);
        const int leaf = ::openat(fd, "z", O_RDONLY | O_DIRECTORY);
        ::close(::openat(leaf, "leaf-file", O_CREAT | O_WRONLY, 0644));
        ::close(leaf);
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(next, 0);
        ::close(::openat(next, "f", O_CREAT | O_WRONLY, 0644));
        ::close(fd);
        fd = next;
    }
    ::close(fd);
}

TEST_F(PosixWalk, ListsTreesDeeperThanThePathLimitCompletely) {
    const std::string name(40, 'd');
    constexpr int kDepth = 400;  // paths of about 16,000 bytes; far more levels than open handles
    BuildDeepTree(dir.Path(), kDepth, name);
    lister.Save(dir.Path());
    Lines all;
    for (int n = 1; n < lister.core.ListFileNumber(); ++n) {
        for (auto& line : SplitListFile(ReadBytes(lister.ListFile(n)))) all.push_back(line);
    }
    Lines expected = {dir.Path(), "\t" + dir.Path()};
    std::string path = dir.Path();
    std::vector<std::string> parents;
    for (int i = 0; i < kDepth; ++i) {
        parents.push_back(path);
        path += "/" + name;
        expected.push_back("\t" + path);
        expected.push_back("\t\tf");
    }
    for (int i = kDepth - 1; i >= 0; --i) {
        expected.push_back("\t" + parents[i] + "/z");
        expected.push_back("\t\tleaf-file");
    }
    EXPECT_GT(path.size(), 4096u);
    ASSERT_EQ(all.size(), expected.size());
    EXPECT_EQ(all, expected);
}

TEST_F(PosixWalk, DeniedFoldersAreNamedAndFollowedByADenialLine) {
    const std::string r = dir / "R";
    MakeFolder(r);
    MakeFile(r + "/a");
    MakeFolder(r + "/closed");  // neither readable nor searchable
    MakeFile(r + "/closed/hidden");
    MakeFolder(r + "/listable");  // readable, not searchable: names yes, subfolders no
    MakeFile(r + "/listable/f");
    MakeFolder(r + "/listable/g");
    MakeFile(r + "/listable/g/deep");
    MakeFolder(r + "/open");
    MakeFile(r + "/open/b");
    ASSERT_EQ(::chmod((r + "/closed").c_str(), 0), 0);
    ASSERT_EQ(::chmod((r + "/listable").c_str(), 0444), 0);

    const std::string out = RunUnprivileged([&] {
        std::string lines;
        reading::PosixFileSystem plainFs;
        listing::ListingBuffer buffer;
        TestRuntime runtime("/nonexistent");
        listing::ListingCore core(buffer, plainFs, runtime);
        core.ListFolder(r);
        core.ListFolder(r + "/closed");  // a denied starting folder
        for (std::int16_t i = 0; i < buffer.ListCount(); ++i)
            lines += std::string(buffer.Line(i)) + "\n";
        return lines;
    });
    EXPECT_EQ(out, "\t" + r + "\n\t\ta\n\t" + r + "/closed\nPermission Denied\n\t" + r +
                       "/listable\n\t\tf\n\t" + r + "/listable/g\nPermission Denied\n\t" + r +
                       "/open\n\t\tb\n" + "\t" + r + "/closed\nPermission Denied\n");
}

TEST_F(PosixWalk, TreeChangingDuringTheWalkLosesNothingAlreadyListed) {
    const std::string r = dir / "R";
    MakeFolder(r);
    MakeFile(r + "/a");
    MakeFile(r + "/b");
    MakeFolder(r + "/gone");
    MakeFile(r + "/gone/x");
    MakeFolder(r + "/kept");
    MakeFile(r + "/kept/y");
    fs.SetReadAhead(0);  // each folder is read when the walk reaches it
    int yields = 0;
    lister.core.SetYield([&] {
        if (++yields != 1) return;
        // After the first file: remove a file and a folder, add a folder.
        ::unlink((r + "/b").c_str());
        RemoveTree(r + "/gone");
        MakeFolder(r + "/added");
    });
    // The folder was read before the change: b is listed, gone is silently skipped.
    EXPECT_EQ(Walk(r), (Lines{"\t" + r, "\t\ta", "\t\tb", "\t" + r + "/kept", "\t\ty"}));
}

}  // namespace
}  // namespace quorvale::test
