// Copies told from kept listings, through the real program: the groups of --duplicates against the
// tests' own grouping of the trees (Python, tests/copies_oracle.py) and against jdupes, on random
// trees with odd names, hard links, empty files and copied folders; --only-in against the same;
// moves told by --compare after random renames and folder moves, once each, and a copy never
// told as one; listings without hashes named and left out; the exit statuses.
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <set>
#include <sstream>
#include <tuple>

#include <gtest/gtest.h>

#include "support/odd_tree.h"
#include "support/program_run.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

std::string Oracle() {
    return std::string("python3 '") + QUORVALE_SOURCE_DIR + "/tests/copies_oracle.py' ";
}

ProgramRun Save(const std::string& tree, const std::string& listing,
                const std::vector<std::string>& more = {"--hash"}) {
    std::vector<std::string> args = {"--save", tree, "--list-folder", listing};
    args.insert(args.end(), more.begin(), more.end());
    return RunProgram(args);
}

// Fills every file below `root` with content from a small pool (so that copies abound: empty, a
// few bytes, 3 KiB, 70 KiB), hard-links a few, and copies two of its folders whole, one of them
// with a file changed after.
void MakeCopies(const std::string& root, std::mt19937& random, bool oddNames, bool links) {
    std::vector<std::string> entries;
    Walk(root, entries, true);
    std::vector<std::string> files;
    std::vector<std::string> folders;
    for (const std::string& entry : entries) {
        (entry.ends_with('/') ? folders : files).push_back(entry);
    }
    const std::vector<std::string> pool = {"",
                                           "a",
                                           "hello",
                                           std::string(3072, 'x'),
                                           std::string(70000, 'y') + "1",
                                           std::string(70000, 'y') + "2"};
    for (const std::string& file : files) {
        MakeFile(file, random() % 3 == 0 ? "unique " + file : pool[random() % pool.size()]);
    }
    if (links) {
        for (int i = 0; i < 4; ++i) {
            const std::string& target = files[random() % files.size()];
            const std::string link =
                folders[random() % folders.size()] + "link" + std::to_string(i);
            EXPECT_EQ(::link(target.c_str(), link.c_str()), 0) << link;
        }
    }
    (void)oddNames;
    for (int i = 0; i < 2; ++i) {
        const std::string& folder = folders[1 + random() % (folders.size() - 1)];
        const std::string copy = root + "/copy" + std::to_string(i);
        ASSERT_EQ(std::system(("cp -a '" + folder + "' '" + copy + "'").c_str()), 0) << folder;
        if (i == 1) MakeFile(copy + "/changed after the copy", "unique " + copy);
    }
}

// Two trees of odd names, listed with hashes into one folder: --duplicates over both is what the
// trees hold (a folder group spread over the files below its copies, a hard link one copy), and
// --only-in of each is what the other does not hold.
TEST(Duplicates, GroupsAndWhatIsNowhereElseAreWhatTheTreesHold) {
    for (const unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        TempDir dir;
        std::mt19937 random(seed);
        const std::string a = dir / "A";
        const std::string b = dir / "B";
        for (const std::string& root : {a, b}) {
            MakeFolder(root);
            MakeOddTree(root, random);
            MakeCopies(root, random, true, true);
        }
        const std::string listings = dir / "listings";
        MakeFolder(listings);
        ASSERT_EQ(Save(a, listings + "/a").status, 0);
        ASSERT_EQ(Save(b, listings + "/b").status, 0);
        for (const std::string minSize : {"1", "3k", "0"}) {
            SCOPED_TRACE(minSize);
            const ProgramRun groups =
                RunProgram({"--duplicates", listings, "-0", "--min-size", minSize});
            EXPECT_EQ(groups.status, 0) << groups.err;
            MakeFile(dir / "groups", groups.out);
            const std::string bytes = minSize == "3k" ? "3072" : minSize;
            const auto [status, said] = Shell(Oracle() + "groups " + bytes + " '" + dir / "groups" +
                                                  "' - '" + a + "' '" + b + "'",
                                              dir);
            EXPECT_EQ(status, 0) << said;
        }
        for (const auto& [listing, root, other] :
             {std::tuple{listings + "/a", a, b}, std::tuple{listings + "/b", b, a}}) {
            const ProgramRun only = RunProgram({"--only-in", listing, listings, "-0"});
            EXPECT_EQ(only.status, 0) << only.err;
            MakeFile(dir / "only", only.out);
            const auto [status, said] = Shell(
                Oracle() + "only 1 '" + dir / "only" + "' '" + root + "' '" + other + "'", dir);
            EXPECT_EQ(status, 0) << said;
        }
    }
}

// jdupes finds the same groups: as it prints them on a tree without hard links or empty files,
// and with -z -H once its hard links are counted as one copy.
TEST(Duplicates, GroupsAreThoseJdupesFinds) {
    TempDir dir;
    std::mt19937 random(7);
    const std::string tree = dir / "T";
    MakeFolder(tree);
    for (int f = 0; f < 6; ++f) {
        const std::string folder = tree + "/folder " + std::to_string(f);
        MakeFolder(folder);
        for (int i = 0; i < 10; ++i) {
            MakeFile(folder + "/file" + std::to_string(i),
                     std::string(1 + random() % 4 * 1000, 'c') + std::to_string(random() % 5));
        }
    }
    ASSERT_EQ(std::system(("cp -a '" + tree + "/folder 1' '" + tree + "/copied'").c_str()), 0);
    for (const bool linksAndEmpty : {false, true}) {
        SCOPED_TRACE(linksAndEmpty);
        if (linksAndEmpty) {
            MakeFile(tree + "/empty one");
            MakeFile(tree + "/folder 2/empty two");
            ASSERT_EQ(::link((tree + "/folder 3/file1").c_str(), (tree + "/hard link").c_str()), 0);
        }
        const std::string listing = dir / (linksAndEmpty ? "L2" : "L1");
        ASSERT_EQ(Save(tree, listing).status, 0);
        const ProgramRun groups =
            RunProgram({"--duplicates", listing, "-0", "--min-size", linksAndEmpty ? "0" : "1"});
        ASSERT_EQ(groups.status, 0) << groups.err;
        MakeFile(dir / "groups", groups.out);
        const auto [jdupesStatus, jdupesSaid] =
            Shell(std::string("(jdupes -0 -r -q ") + (linksAndEmpty ? "-z -H " : "") + "'" + tree +
                      "' > '" + dir / "jdupes" + "')",
                  dir);
        ASSERT_EQ(jdupesStatus, 0) << jdupesSaid << " (tools/deps.sh test installs jdupes)";
        const auto [status, said] =
            Shell(Oracle() + "groups " + (linksAndEmpty ? "0" : "1") + " '" + dir / "groups" +
                      "' '" + dir / "jdupes" + "' '" + tree + "'",
                  dir);
        EXPECT_EQ(status, 0) << said;
    }
}

// What is left out and why, and the statuses: 0 copies found, 1 none, 2 nothing to compare or a
// folder that cannot be read (the groups of what could be read still printed).
TEST(Duplicates, ListingsWithoutHashesAreNamedAndLeftOut) {
    TempDir dir;
    const std::string tree = dir / "T";
    MakeFolder(tree);
    MakeFile(tree + "/one", "same");
    MakeFile(tree + "/two", "same");
    MakeFile(tree + "/big", std::string(5000, 'b'));
    MakeFile(tree + "/big too", std::string(5000, 'b'));
    const std::string listings = dir / "listings";
    MakeFolder(listings);
    ASSERT_EQ(Save(tree, listings + "/plain", {"--details"}).status, 0);

    const ProgramRun none = RunProgram({"--duplicates", listings});
    EXPECT_EQ(none.status, 2);
    EXPECT_TRUE(Holds(none.err, "has no hashes (it was saved without --hash): left out"))
        << none.err;
    EXPECT_TRUE(Holds(none.err, "no kept listing with hashes")) << none.err;
    const ProgramRun notHashed = RunProgram({"--only-in", listings + "/plain", listings});
    EXPECT_EQ(notHashed.status, 2);
    EXPECT_TRUE(Holds(notHashed.err, "it has no hashes")) << notHashed.err;

    ASSERT_EQ(Save(tree, listings + "/xxh3").status, 0);
    ASSERT_EQ(Save(tree, listings + "/sha", {"--hash=sha256"}).status, 0);
    const ProgramRun groups = RunProgram({"--duplicates", listings, "-c", "--all"});
    EXPECT_EQ(groups.status, 0) << groups.err;
    EXPECT_EQ(groups.out, "2\n");  // big and one, of XXH3-128 (as many listings have SHA-256)
    EXPECT_TRUE(Holds(groups.err, "\"" + listings + "/plain\" has no hashes")) << groups.err;
    EXPECT_TRUE(Holds(groups.err, "sha\" was hashed with sha256, the others with xxh3: left out"))
        << groups.err;
    EXPECT_TRUE(Holds(groups.err, "could be freed (1 listing read)")) << groups.err;

    const ProgramRun large = RunProgram({"--duplicates", listings + "/xxh3", "--min-size", "4k"});
    EXPECT_EQ(large.status, 0) << large.err;
    EXPECT_TRUE(Holds(large.out, "/big\n") && !Holds(large.out, "/one\n")) << large.out;
    const ProgramRun small = RunProgram({"--duplicates", listings + "/xxh3", "--min-size", "1M"});
    EXPECT_EQ(small.status, 1) << small.err;
    EXPECT_EQ(small.out, "");
    const ProgramRun missing =
        RunProgram({"--duplicates", listings, dir / "no such folder", "--all"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(Holds(missing.out, "/big too\n")) << missing.out;
    // The same place listed again is no copy of it: everything is there only.
    const ProgramRun only = RunProgram({"--only-in", listings + "/xxh3", listings + "/xxh3"});
    EXPECT_EQ(only.status, 0) << only.err;
    EXPECT_TRUE(Holds(only.out, "10008\ttotal\n")) << only.out;
    const ProgramRun also = RunProgram({"--also-in", listings + "/xxh3", listings + "/xxh3"});
    EXPECT_EQ(also.status, 1) << also.err;
}

// Random renames, files moved to other folders and folders moved with what they hold, between
// two Saves: each told once as ">" (a folder's, not what it holds), and a copy only as "+".
// Without hashes (no inode of a file) a file that kept its name is still told as moved.
TEST(Moves, EveryMoveIsToldOnceAndACopyNever) {
    for (const bool hashed : {true, false}) {
        for (const unsigned seed : {11u, 12u}) {
            SCOPED_TRACE(std::to_string(seed) + (hashed ? " hashed" : " details"));
            TempDir dir;
            std::mt19937 random(seed);
            const std::string tree = dir / "T";
            MakeFolder(tree);
            std::vector<std::string> folders;
            std::vector<std::string> files;
            for (int f = 0; f < 8; ++f) {
                folders.push_back(tree + "/f" + std::to_string(f));
                MakeFolder(folders.back());
                MakeFolder(folders.back() + "/inner");
                for (int i = 0; i < 6; ++i) {
                    files.push_back(folders.back() + "/n" + std::to_string(i));
                    // Sizes of their own: files that look alike are not told as moved without an
                    // inode to tell them apart.
                    MakeFile(files.back(), std::string(f * 6 + i + 1, 'p'));
                }
                MakeFile(folders.back() + "/inner/deep", "deep " + folders.back());
            }
            const std::vector<std::string> more =
                hashed ? std::vector<std::string>{"--hash"} : std::vector<std::string>{"--details"};
            ASSERT_EQ(Save(tree, dir / "old", more).status, 0);

            // Folder f0 moves into f1 under another name; files of f2..f7 move or are renamed;
            // copies of others are made.
            std::set<std::string> moves = {">\t" + folders[0] + "/\t" + folders[1] + "/moved f0/"};
            ASSERT_EQ(::rename(folders[0].c_str(), (folders[1] + "/moved f0").c_str()), 0);
            std::shuffle(files.begin() + 12, files.end(), random);
            for (int i = 0; i < 6; ++i) {
                const std::string& file = files[12 + i];
                const bool rename = hashed && i % 2 == 0;
                const std::string to = rename ? file + " renamed"
                                              : folders[2 + random() % 6] + "/inner/" +
                                                    file.substr(file.rfind('/') + 1);
                if (::access(to.c_str(), F_OK) == 0) continue;
                ASSERT_EQ(::rename(file.c_str(), to.c_str()), 0) << to;
                moves.insert(">\t" + file + "\t" + to);
            }
            std::set<std::string> copies;
            for (int i = 0; i < 2; ++i) {
                const std::string& file = files[20 + i];
                const std::string to = folders[7] + "/copy" + std::to_string(i);
                ASSERT_EQ(std::system(("cp -p '" + file + "' '" + to + "'").c_str()), 0);
                copies.insert("+\t" + to);
            }
            ASSERT_EQ(Save(tree, dir / "new", more).status, 0);

            const ProgramRun compared = RunProgram({"--compare", dir / "old", dir / "new"});
            EXPECT_EQ(compared.status, 1) << compared.err;
            std::set<std::string> told;
            std::set<std::string> added;
            std::istringstream lines(compared.out);
            for (std::string line; std::getline(lines, line);) {
                if (line.starts_with(">")) {
                    EXPECT_TRUE(told.insert(line).second) << "told twice: " << line;
                } else if (line.starts_with("+")) {
                    added.insert(line);
                } else {
                    // Only folders that gained or lost an entry change otherwise.
                    EXPECT_TRUE(line.starts_with("~m\t") && line.ends_with("/")) << line;
                }
            }
            EXPECT_EQ(told, moves);
            EXPECT_EQ(added, copies);
        }
    }
}

// What cannot be told apart is no move: an empty file gone and another made elsewhere (all empty
// files hold the same content), and, without an inode to tell files apart, a file gone where two
// that look like it (name, size, time) were added, or two gone where one was added.
TEST(Moves, WhatCannotBeToldApartIsNoMove) {
    TempDir dir;
    const std::string tree = dir / "T";
    MakeFolder(tree);
    for (const std::string folder : {"/a", "/b", "/c", "/d", "/e"}) MakeFolder(tree + folder);
    MakeFile(tree + "/a/empty");
    MakeFile(tree + "/a/x", "same bytes");
    MakeFile(tree + "/b/y", "other bytes");
    MakeFile(tree + "/c/y", "other bytes");
    ASSERT_EQ(Shell("touch -d @1000000000 '" + tree + "/b/y' '" + tree + "/c/y'", dir).first, 0);
    ASSERT_EQ(Save(tree, dir / "hashed-old", {"--hash"}).status, 0);
    ASSERT_EQ(Save(tree, dir / "details-old", {"--details"}).status, 0);
    // The new empty file is made before the old one goes, so that it cannot take its inode.
    MakeFile(tree + "/b/new empty");
    ::unlink((tree + "/a/empty").c_str());
    for (const std::string copy : {"/d/x", "/e/x"}) {
        ASSERT_EQ(Shell("cp -p '" + tree + "/a/x' '" + tree + copy + "'", dir).first, 0);
    }
    ::unlink((tree + "/a/x").c_str());
    ASSERT_EQ(Shell("cp -p '" + tree + "/b/y' '" + tree + "/e/y'", dir).first, 0);
    ::unlink((tree + "/b/y").c_str());
    ::unlink((tree + "/c/y").c_str());
    ASSERT_EQ(Save(tree, dir / "hashed-new", {"--hash"}).status, 0);
    ASSERT_EQ(Save(tree, dir / "details-new", {"--details"}).status, 0);

    const auto told = [&](const std::string& kind) {
        const ProgramRun compared =
            RunProgram({"--compare", dir / (kind + "-old"), dir / (kind + "-new")});
        EXPECT_EQ(compared.status, 1) << compared.err;
        std::set<std::string> lines;
        std::istringstream in(compared.out);
        for (std::string line; std::getline(in, line);) {
            if (!line.starts_with("~m\t")) lines.insert(line);
        }
        return lines;
    };
    EXPECT_EQ(told("details"),
              (std::set<std::string>{"-\t" + tree + "/a/empty", "-\t" + tree + "/a/x",
                                     "-\t" + tree + "/b/y", "-\t" + tree + "/c/y",
                                     "+\t" + tree + "/b/new empty", "+\t" + tree + "/d/x",
                                     "+\t" + tree + "/e/x", "+\t" + tree + "/e/y"}));
    // With hashes the same content pairs files; an empty one never, and one content gone from
    // one place to two is a copy.
    const std::set<std::string> hashed = told("hashed");
    EXPECT_TRUE(hashed.contains("-\t" + tree + "/a/empty"));
    EXPECT_TRUE(hashed.contains("+\t" + tree + "/b/new empty"));
}

// Folders are known by the index's folder rows, read a frame of 1,024 at a time beside the
// comparison: a folder far past the first frame is still told as moved, and only it.
TEST(Moves, AFolderPastTheFirstThousandIsToldByItsInode) {
    TempDir dir;
    const std::string tree = dir / "T";
    MakeFolder(tree);
    for (int i = 0; i < 1300; ++i) {
        const std::string folder = tree + "/d" + std::to_string(10000 + i);
        MakeFolder(folder);
        MakeFile(folder + "/file", std::string(static_cast<std::size_t>(i), 'x'));
    }
    ASSERT_EQ(Save(tree, dir / "old", {"--details"}).status, 0);
    ASSERT_EQ(::rename((tree + "/d11200").c_str(), (tree + "/renamed").c_str()), 0);
    ASSERT_EQ(Save(tree, dir / "new", {"--details"}).status, 0);
    const ProgramRun compared = RunProgram({"--compare", dir / "old", dir / "new"});
    EXPECT_EQ(compared.status, 1) << compared.err;
    std::string moves;
    std::istringstream lines(compared.out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("~m\t")) moves += line + "\n";
    }
    EXPECT_EQ(moves, ">\t" + tree + "/d11200/\t" + tree + "/renamed/\n");
}

}  // namespace
}  // namespace quorvale::test
