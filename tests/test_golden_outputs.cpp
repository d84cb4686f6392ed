// What the program writes of a tiny listing, pinned byte by byte: its list file and details file,
// its exports (paths, CSV, ncdu's JSON), a search's lines, a comparison's (with its moves), and
// the groups of copies and the files held nowhere else. Scripts and other
// programs read these; a change of any byte is a change of a format, made on purpose, with this
// test updated to say which bytes changed. What varies from run to run (where the test's folders
// lie, a folder's size on the file system at hand, when the Save ended, the program's version,
// when an export ran) is put in by the test.
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <regex>

#include <gtest/gtest.h>

#include "support/program_run.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

// 2026-01-02T03:04:05Z, the time of every entry of the tiny tree.
constexpr std::time_t kEntryTime = 1767323045;

void SetTime(const std::string& path) {
    const timespec times[2] = {{kEntryTime, 0}, {kEntryTime, 0}};
    EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::string SizeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return std::to_string(st.st_size);
}

// What an entry takes on its disk, as ncdu's "dsize" of a listing saved with details has it.
std::string BlocksOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return std::to_string(static_cast<std::uint64_t>(st.st_blocks) * 512);
}

// "ended" of the record in `listFolder`: what a search prints of the listing.
std::string EndedOf(const std::string& listFolder) {
    const std::string record = ReadBytes(listFolder + "/quorvale-listing.json");
    std::smatch ended;
    EXPECT_TRUE(std::regex_search(record, ended, std::regex("\"ended\": \"([^\"]*)\"")));
    return ended.size() > 1 ? ended[1].str() : "";
}

class GoldenOutputs : public ::testing::Test {
  protected:
    GoldenOutputs() {
        MakeFolder(root);
        MakeFile(root + "/a.txt", "hello");
        MakeLink("a.txt", root + "/link");
        MakeFolder(root + "/sub");
        MakeFile(root + "/sub/b");
        for (const char* entry : {"/a.txt", "/link", "/sub/b", "/sub", ""}) SetTime(root + entry);
        MakeFolder(list);
        const ProgramRun saved = RunProgram({"--save", root, "--details", "--list-folder", list});
        EXPECT_EQ(saved.status, 0) << saved.err;
    }

    std::string Run(const std::vector<std::string>& args, int status = 0) {
        const ProgramRun run = RunProgram(args);
        EXPECT_EQ(run.status, status) << run.err;
        EXPECT_EQ(run.err, "");
        return run.out;
    }

    TempDir dir;
    const std::string root = dir / "root";
    const std::string list = dir / "list";
};

TEST_F(GoldenOutputs, ListFileAndDetailsFile) {
    EXPECT_EQ(ReadBytes(list + "/ListTex1.txt"), root + "\r\n" +             // the root, as given
                                                     "\t" + root + "\r\n" +  // its folder line
                                                     "\t\ta.txt\r\n"
                                                     "\t\tlink\r\n"
                                                     "\t" +
                                                     root + "/sub\r\n" + "\t\tb\r\n");
    // Type, size, time and the full path, line for line (the root line's fields empty).
    const std::string time = "\t2026-01-02T03:04:05Z\t";
    EXPECT_EQ(ReadBytes(list + "/ListTex1.tsv"),
              "\t\t\t" + root + "\r\n" +                                      //
                  "d\t" + SizeOf(root) + time + root + "\r\n" +               //
                  "f\t5" + time + root + "/a.txt\r\n" +                       //
                  "l\t5" + time + root + "/link\r\n" +                        //
                  "d\t" + SizeOf(root + "/sub") + time + root + "/sub\r\n" +  //
                  "f\t0" + time + root + "/sub/b\r\n");
}

TEST_F(GoldenOutputs, Exports) {
    EXPECT_EQ(
        Run({"--export", "paths", list}),
        root + "/\n" + root + "/a.txt\n" + root + "/link\n" + root + "/sub/\n" + root + "/sub/b\n");
    const std::string time = ",2026-01-02T03:04:05Z,";
    EXPECT_EQ(Run({"--export", "csv", list}),
              "type,size,time,path\r\n"
              "d," +
                  SizeOf(root) + time + root + "/\r\n" +                      //
                  "f,5" + time + root + "/a.txt\r\n" +                        //
                  "l,5" + time + root + "/link\r\n" +                         //
                  "d," + SizeOf(root + "/sub") + time + root + "/sub/\r\n" +  //
                  "f,0" + time + root + "/sub/b\r\n");

    const std::time_t before = std::time(nullptr);
    std::string ncdu = Run({"--export", "ncdu", list});
    const std::time_t after = std::time(nullptr);
    std::smatch stamp;
    ASSERT_TRUE(std::regex_search(ncdu, stamp, std::regex("\"timestamp\":([0-9]+)\\}")));
    EXPECT_GE(std::stoll(stamp[1].str()), before);
    EXPECT_LE(std::stoll(stamp[1].str()), after);
    ncdu.replace(stamp.position(1), stamp.length(1), "T");
    const std::string version = Run({"--version"}).substr(9);  // "quorvale X.Y\n"
    const std::string mtime = ",\"mtime\":1767323045";
    EXPECT_EQ(ncdu, "[1,2,{\"progname\":\"quorvale\",\"progver\":\"" +
                        version.substr(0, version.size() - 1) + "\",\"timestamp\":T},\n" +
                        "[{\"name\":\"" + root + "\",\"asize\":" + SizeOf(root) +
                        ",\"dsize\":" + BlocksOf(root) + mtime + "},\n" +
                        "{\"name\":\"a.txt\",\"asize\":5,\"dsize\":" + BlocksOf(root + "/a.txt") +
                        mtime + "},\n" + "{\"name\":\"link\",\"asize\":5,\"dsize\":" +
                        BlocksOf(root + "/link") + mtime + ",\"notreg\":true},\n" +
                        "[{\"name\":\"sub\",\"asize\":" + SizeOf(root + "/sub") +
                        ",\"dsize\":" + BlocksOf(root + "/sub") + mtime + "},\n" +
                        "{\"name\":\"b\",\"asize\":0,\"dsize\":" + BlocksOf(root + "/sub/b") +
                        mtime + "}]]]\n");
}

// QDirStat's cache file (0x695735a5 is 2026-01-02T03:04:05Z) and the folders' totals as du prints
// them.
TEST_F(GoldenOutputs, QdirstatCacheAndFolderTotals) {
    const std::string version = Run({"--version"}).substr(9);
    const std::string time = "\t0x695735a5\n";
    EXPECT_EQ(Run({"--export", "qdirstat", list}),
              "[qdirstat 1.0 cache file]\n# Written by quorvale " + version +
                  "# Type\tpath\tsize\tmtime\t<optional fields>\n\n" +  //
                  "D\t" + root + "\t" + SizeOf(root) + time +           //
                  "F\ta.txt\t5" + time +                                //
                  "L\tlink\t5" + time +                                 //
                  "D\t" + root + "/sub\t" + SizeOf(root + "/sub") + time + "F\tb\t0" + time);
    const auto used = [](const std::vector<std::string>& paths) {
        std::uint64_t bytes = 0;
        for (const std::string& path : paths) bytes += std::stoull(BlocksOf(path));
        return std::to_string((bytes + 1023) / 1024);
    };
    const std::string sub = root + "/sub";
    EXPECT_EQ(Run({"--sizes", list}),
              used({sub, sub + "/b"}) + "\t" + sub + "\n" +
                  used({root, root + "/a.txt", root + "/link", sub, sub + "/b"}) + "\t" + root +
                  "\n");
    const std::string sizes =
        std::to_string(std::stoull(SizeOf(root)) + 10 + std::stoull(SizeOf(sub)));
    EXPECT_EQ(Run({"--sizes", list, "-b", "-d", "0"}), sizes + "\t" + root + "\n");
}

TEST_F(GoldenOutputs, SearchLines) {
    // The path alone, as locate prints it; with --where (and in --long) the list folder, when its
    // Save ended and the drive's note (none here) before it.
    const std::string ended = EndedOf(list);
    EXPECT_EQ(Run({"--find", "a.txt", list}), root + "/a.txt\n");
    EXPECT_EQ(Run({"--find", "a.txt", list, "--where"}),
              list + "\t" + ended + "\t\t" + root + "/a.txt\n");
    EXPECT_EQ(Run({"--find", "*u?/[a-c]", list}), root + "/sub/b\n");
    EXPECT_EQ(Run({"--find", "sub", list, "-0"}), root + "/sub/" + '\0' + root + "/sub/b" + '\0');
}

TEST_F(GoldenOutputs, ComparisonLines) {
    // A second Save of the tree after a file grew and another was replaced by one of another
    // name, the times as they were.
    MakeFile(root + "/a.txt", "hello!");
    ASSERT_EQ(::unlink((root + "/sub/b").c_str()), 0);
    MakeFile(root + "/sub/c");
    for (const char* entry : {"/a.txt", "/sub/c", "/sub", ""}) SetTime(root + entry);
    const std::string later = dir / "later";
    MakeFolder(later);
    const ProgramRun saved = RunProgram({"--save", root, "--details", "--list-folder", later});
    ASSERT_EQ(saved.status, 0) << saved.err;
    // A folder's size is its file system's business, never a change.
    EXPECT_EQ(Run({"--compare", list, later}, 1),  // 1: they differ, as diff says it
              "~s\t" + root + "/a.txt\n" + "-\t" + root + "/sub/b\n" + "+\t" + root + "/sub/c\n");
}

TEST_F(GoldenOutputs, ComparisonTellsMovesAsOneLine) {
    // The folder renamed with its file, and a file moved into it: two moves, the file that moved
    // with its folder not told again.
    ASSERT_EQ(::rename((root + "/sub").c_str(), (root + "/moved").c_str()), 0);
    ASSERT_EQ(::rename((root + "/a.txt").c_str(), (root + "/moved/a.txt").c_str()), 0);
    for (const char* entry : {"/moved", ""}) SetTime(root + entry);
    const std::string later = dir / "later";
    MakeFolder(later);
    const ProgramRun saved = RunProgram({"--save", root, "--details", "--list-folder", later});
    ASSERT_EQ(saved.status, 0) << saved.err;
    EXPECT_EQ(Run({"--compare", list, later}, 1), ">\t" + root + "/a.txt\t" + root +
                                                      "/moved/a.txt\n" + ">\t" + root + "/sub/\t" +
                                                      root + "/moved/\n");
}

TEST_F(GoldenOutputs, CopiesAndWhatIsNowhereElse) {
    // x and y hold the same; z is a copy of x/one, h a hard link of z.
    const std::string tree = dir / "tree";
    for (const char* folder : {"", "/x", "/y"}) MakeFolder(tree + folder);
    for (const char* folder : {"/x", "/y"}) {
        MakeFile(tree + folder + "/one", "hello");
        MakeFile(tree + folder + "/two", "hello!!");
    }
    MakeFile(tree + "/z", "hello");
    ASSERT_EQ(::link((tree + "/z").c_str(), (tree + "/h").c_str()), 0);
    const std::string hashed = dir / "hashed";
    const std::string other = dir / "other";
    MakeFolder(hashed);
    MakeFolder(other);
    ASSERT_EQ(RunProgram({"--save", tree, "--hash", "--list-folder", hashed}).status, 0);
    ASSERT_EQ(RunProgram({"--save", root, "--hash", "--list-folder", other}).status, 0);

    // A group: size, hash (or what the folders hold), copies, the bytes the copies after the
    // first take; then each copy, its list folder and path, a hard link of it marked "=".
    const ProgramRun groups = RunProgram({"--duplicates", hashed});
    EXPECT_EQ(groups.status, 0) << groups.err;
    EXPECT_EQ(groups.out, "12\tfolders of 2 files\t2\t12\n" +                  //
                              hashed + "\t" + tree + "/x/\n" +                 //
                              hashed + "\t" + tree + "/y/\n\n" +               //
                              "5\tb5e9c1ad071b3e7fc779cfaa5e523818\t2\t5\n" +  //
                              hashed + "\t" + tree + "/h\n" +                  //
                              "=\t" + hashed + "\t" + tree + "/z\n" +          //
                              hashed + "\t" + tree + "/x/one\n\n");
    EXPECT_EQ(groups.err,
              "quorvale: 2 groups, 4 copies; 17 (17 bytes) could be freed (1 listing read)\n");

    // The files of a listing whose content the other listing does not hold, as du prints sizes.
    const ProgramRun only = RunProgram({"--only-in", hashed, other});
    EXPECT_EQ(only.status, 0) << only.err;
    EXPECT_EQ(only.out, "7\t" + tree + "/x/two\n7\t" + tree + "/y/two\n14\ttotal\n");
    EXPECT_EQ(only.err, "quorvale: 2 of 6 files of \"" + hashed +
                            "\" (14) are in no other listing (1 other listing read)\n");
}

}  // namespace
}  // namespace quorvale::test
