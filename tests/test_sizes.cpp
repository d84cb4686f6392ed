// Folder totals through the real program: --sizes against du on random trees of odd names with
// hard links across folders, sparse files and files of many sizes, at every depth, in each unit
// (a folder's total counts each link it holds, as `du -l`; the root's each file once, as `du`);
// a folder of the listing asked for by its path; --export qdirstat read back by the tests' own
// reader of the documented format; a listing without sizes, or with its sizes damaged, named.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "support/odd_tree.h"
#include "support/program_run.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

// Sizes by path from NUL-ended "SIZE\tPATH" records (du -0 and --sizes -0 alike); du's paths as
// a listing writes them (CR and LF as their signs).
std::map<std::string, std::string> SizesByPath(const std::string& text) {
    std::map<std::string, std::string> sizes;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\0', at);
        const std::string record = text.substr(at, end - at);
        const std::size_t tab = record.find('\t');
        sizes[Written(record.substr(tab + 1))] = record.substr(0, tab);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return sizes;
}

// Odd names, and then what du has to count right: files of many sizes, sparse files, hard links
// to files of other folders, and a few deeper folders.
void MakeSizedTree(const std::string& root, std::mt19937& random) {
    MakeFolder(root);
    MakeOddTree(root, random);
    std::vector<std::string> entries;
    Walk(root, entries, true);
    std::vector<std::string> files;
    std::vector<std::string> folders = {root + "/"};
    for (const std::string& entry : entries) {
        (entry.ends_with('/') ? folders : files).push_back(entry);
    }
    for (const std::string& file : files) {
        MakeFile(file, std::string(random() % 3 == 0 ? random() % 200000 : random() % 100, 'q'));
    }
    for (int i = 0; i < 6; ++i) {
        const std::string sparse =
            folders[random() % folders.size()] + "sparse" + std::to_string(i);
        MakeFile(sparse, "x");
        ASSERT_EQ(::truncate(sparse.c_str(), static_cast<off_t>(random() % (8 << 20))), 0);
    }
    for (int i = 0; i < 8; ++i) {
        const std::string& target = files[random() % files.size()];
        const std::string link = folders[random() % folders.size()] + "hard" + std::to_string(i);
        ASSERT_EQ(::link(target.c_str(), link.c_str()), 0) << link;
    }
    std::string deep = folders[random() % folders.size()] + "deep";
    for (int depth = 0; depth < 4; ++depth, deep += "/deeper") {
        MakeFolder(deep);
        MakeFile(deep + "/f", std::string(5000 * depth, 'd'));
    }
}

struct UnitCase {
    std::vector<std::string> ours;
    std::string du;
};

// Each unit as du prints it, every folder at every depth and down to depths 0 to 2: a folder's
// line is `du -l`'s, the root's `du`'s.
TEST(Sizes, EveryFolderAtEveryDepthIsWhatDuCounts) {
    const std::vector<UnitCase> units = {
        {{}, "-k"}, {{"-b"}, "-b"}, {{"--apparent-size"}, "--apparent-size -k"}, {{"-h"}, "-h"}};
    for (const unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        TempDir dir;
        std::mt19937 random(seed);
        const std::string tree = dir / "T";
        MakeSizedTree(tree, random);
        const std::string listing = dir / "L";
        ASSERT_EQ(RunProgram({"--save", tree, "--list-folder", listing, "--details"}).status, 0);
        for (const UnitCase& unit : units) {
            for (const std::string depth : {"", "0", "1", "2"}) {
                SCOPED_TRACE(unit.du + " -d " + depth);
                std::vector<std::string> args = {"--sizes", listing, "-0"};
                args.insert(args.end(), unit.ours.begin(), unit.ours.end());
                std::string duDepth;
                if (!depth.empty()) {
                    args.insert(args.end(), {"-d", depth});
                    duDepth = " -d " + depth;
                }
                const ProgramRun ours = RunProgram(args);
                ASSERT_EQ(ours.status, 0) << ours.err;
                const auto [linked, byLink] =
                    Shell("du -0 -l " + unit.du + duDepth + " '" + tree + "'", dir);
                const auto [once, byFile] = Shell("du -0 -s " + unit.du + " '" + tree + "'", dir);
                ASSERT_EQ(linked, 0);
                ASSERT_EQ(once, 0);
                std::map<std::string, std::string> expected = SizesByPath(byLink);
                expected[tree] = SizesByPath(byFile)[tree];
                EXPECT_EQ(SizesByPath(ours.out), expected);
                EXPECT_GT(expected.size(), depth == "0" ? 0u : depth.empty() ? 12u : 1u);
                // du's order: each folder after those below it, the root last.
                EXPECT_TRUE(ours.out.ends_with("\t" + tree + std::string(1, '\0')));
            }
        }
        // The root asked for by its path, with its closing "/", as du takes it.
        const ProgramRun root = RunProgram({"--sizes", listing, tree + "/", "-0", "-b", "-d", "0"});
        ASSERT_EQ(root.status, 0) << root.err;
        EXPECT_TRUE(root.out.ends_with("\t" + tree + std::string(1, '\0'))) << root.out;
    }
}

// --sizes of a folder below the root, and sorted; what it cannot answer said on stderr with 2.
TEST(Sizes, AFolderOfTheListingSortedAndWhatCannotBeAnswered) {
    TempDir dir;
    const std::string tree = dir / "T";
    for (const std::string folder : {"", "/a b", "/a b/c", "/z", "/0"}) MakeFolder(tree + folder);
    MakeFile(tree + "/a b/c/big", std::string(300000, 'b'));
    MakeFile(tree + "/z/small", std::string(10, 's'));
    MakeFile(tree + "/0/smaller", "s");
    const std::string listing = dir / "L";
    ASSERT_EQ(RunProgram({"--save", tree, "--list-folder", listing, "--details"}).status, 0);

    const ProgramRun sub = RunProgram({"--sizes", listing, tree + "/a b", "-b"});
    EXPECT_EQ(sub.status, 0) << sub.err;
    const auto [status, du] = Shell("du -l -b '" + tree + "/a b'", dir);
    EXPECT_EQ(sub.out, du);

    const ProgramRun bySize = RunProgram({"--sizes", listing, "--sort=size", "-b"});
    const ProgramRun byName = RunProgram({"--sizes", listing, "--sort=name", "-b"});
    const std::vector<std::string> sizeOrder = {tree, tree + "/a b", tree + "/a b/c", tree + "/z",
                                                tree + "/0"};
    const std::vector<std::string> nameOrder = {tree, tree + "/0", tree + "/a b", tree + "/a b/c",
                                                tree + "/z"};
    for (const auto& [run, order] : {std::pair{bySize, sizeOrder}, std::pair{byName, nameOrder}}) {
        std::vector<std::string> paths;
        std::istringstream lines(run.out);
        for (std::string line; std::getline(lines, line);)
            paths.push_back(line.substr(line.find('\t') + 1));
        EXPECT_EQ(paths, order) << run.out;
    }

    const ProgramRun missing = RunProgram({"--sizes", listing, tree + "/nowhere"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(Holds(missing.err, "holds no such folder")) << missing.err;

    const std::string plain = dir / "P";
    ASSERT_EQ(RunProgram({"--save", tree, "--list-folder", plain}).status, 0);
    const ProgramRun noDetails = RunProgram({"--sizes", plain});
    EXPECT_EQ(noDetails.status, 2);
    EXPECT_TRUE(Holds(noDetails.err, "it has no sizes (it was saved without --details)"))
        << noDetails.err;

    // A record that names no sizes, as an earlier version's: saved by it, says so.
    const std::string record = listing + "/quorvale-listing.json";
    const std::string kept = ReadBytes(record);
    const std::size_t sized = kept.find(",\n  \"sizes\": {");
    ASSERT_NE(sized, std::string::npos) << kept;
    MakeFile(record, kept.substr(0, sized) + kept.substr(kept.find("\n  }", sized) + 4));
    const ProgramRun earlier = RunProgram({"--sizes", listing});
    EXPECT_EQ(earlier.status, 2);
    EXPECT_TRUE(Holds(earlier.err, "it has no sizes (it was saved by an earlier version)"))
        << earlier.err;
    MakeFile(record, kept);

    // A damaged sizes file is named, never a crash or a wrong figure; a missing one too.
    const std::string sizes = listing + "/quorvale-sizes.bin";
    std::string bytes = ReadBytes(sizes);
    bytes[bytes.size() - 50] ^= 0x20;
    MakeFile(sizes, bytes);
    const ProgramRun damaged = RunProgram({"--sizes", listing});
    EXPECT_EQ(damaged.status, 2);
    EXPECT_TRUE(Holds(damaged.err, "its sizes are damaged")) << damaged.err;
    ASSERT_EQ(::unlink(sizes.c_str()), 0);
    const ProgramRun gone = RunProgram({"--sizes", listing});
    EXPECT_EQ(gone.status, 2);
    EXPECT_TRUE(Holds(gone.err, "its sizes \"quorvale-sizes.bin\" are missing")) << gone.err;
}

// The QDirStat cache file read back by the tests' own reader of its documented format: each
// folder's total from the entries below it is du's, and every path is the tree's.
TEST(Sizes, TheQdirstatExportHoldsWhatDuCounts) {
    for (const unsigned seed : {4u, 5u}) {
        SCOPED_TRACE(seed);
        TempDir dir;
        std::mt19937 random(seed);
        const std::string tree = dir / "T";
        MakeSizedTree(tree, random);
        // A name that reads as an escape: "%41" is kept as written, not taken for "A".
        MakeFolder(tree + "/100% a%41");
        MakeFile(tree + "/100% a%41/f", "12345");
        const std::string listing = dir / "L";
        ASSERT_EQ(RunProgram({"--save", tree, "--list-folder", listing, "--details"}).status, 0);
        const ProgramRun exported = RunProgram({"--export", "qdirstat", listing});
        ASSERT_EQ(exported.status, 0) << exported.err;
        MakeFile(dir / "cache", exported.out);
        const auto [read, totals] = Shell(std::string("python3 '") + QUORVALE_SOURCE_DIR +
                                              "/tests/qdirstat_reader.py' '" + dir / "cache" + "'",
                                          dir);
        ASSERT_EQ(read, 0) << totals;
        const auto [du, expected] = Shell("du -0 -l -b '" + tree + "'", dir);
        ASSERT_EQ(du, 0);
        std::map<std::string, std::string> written;
        for (const auto& [path, size] : SizesByPath(expected)) written[path] = size;
        EXPECT_EQ(SizesByPath(totals), written);
    }
}

}  // namespace
}  // namespace quorvale::test
