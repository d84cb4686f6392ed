// Listings people keep: the record each Save leaves beside its list files, leaving entries out,
// staying on one drive, and comparing two listings.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "app/headless_save.h"
#include "catalogue/listing_compare.h"
#include "catalogue/listing_record.h"
#include "listing/list_file_name.h"
#include "support/fake_file_system.h"
#include "support/program_run.h"
#include "support/synthetic_listing.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

class KeptListing : public ::testing::Test {
  protected:
    KeptListing() {
        MakeFolder(dir / "R");
        MakeFile(dir / "R/a");
        MakeFolder(dir / "R/s");
        MakeFile(dir / "R/s/b");
        MakeFolder(dir / "out");
    }
    ProgramRun Save(const std::string& root, std::vector<std::string> more = {}) {
        std::vector<std::string> args{"--save", root, "--list-folder", dir / "out"};
        args.insert(args.end(), more.begin(), more.end());
        return RunProgram(args);
    }
    std::string Out(std::string_view name) const { return dir / ("out/" + std::string(name)); }
    std::string Record() const { return ReadBytes(Out(listing::kRecordName)); }
    std::string ListFile(int number) const { return ReadBytes(Out(listing::ListFileName(number))); }

    TempDir dir;
};

TEST_F(KeptListing, ACompleteSaveRecordsItsRootTimesDriveListFilesAndLines) {
    const ProgramRun run = Save(dir / "R");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string record = Record();
    const std::string bytes = std::to_string(ListFile(1).size());
    // The index carries the Save's identity the record names (bytes 96 to 112 of its header).
    const std::string index = ReadBytes(Out(listing::kIndexName));
    std::string save;
    for (std::size_t at = 96; at < 112 && at < index.size(); ++at) {
        constexpr char kDigits[] = "0123456789abcdef";
        save += kDigits[static_cast<unsigned char>(index[at]) >> 4];
        save += kDigits[static_cast<unsigned char>(index[at]) & 15];
    }
    for (const std::string& part : std::vector<std::string>{
             "\"program\": \"quorvale\",\n  \"format\": 1,",
             "\"version\": \"" QUORVALE_VERSION "\"", "\"root\": \"" + dir / "R" + "\"",
             "\"first\": 1", "\"last\": 1", "\"bytes\": " + bytes, "\"lines\": 5",
             "\"complete\": true", "\"denied\": {\n    \"count\": 0",
             "\"incomplete\": {\n    \"count\": 0", "\"oneFileSystem\": false", "\"exclude\": []",
             "\"notOfThisListing\": []",
             "\"index\": {\n    \"name\": \"quorvale-index.bin\",\n    \"bytes\": " +
                 std::to_string(index.size()) + ",\n    \"save\": \"" + save + "\"\n  }\n}"}) {
        EXPECT_TRUE(Holds(record, part)) << part << "\n" << record;
    }
    // Times in UTC with seconds, the host and the drive's type as the system names them.
    EXPECT_TRUE(Holds(record, "\"started\": \"20")) << record;
    EXPECT_TRUE(Holds(record, "Z\",\n  \"ended\": \"20")) << record;
    EXPECT_FALSE(Holds(record, "\"host\": \"\"")) << record;
    EXPECT_FALSE(Holds(record, "\"type\": \"\"")) << record;
    EXPECT_FALSE(Holds(record, "\"device\": \"\"")) << record;
    EXPECT_TRUE(Holds(record, "\"mountPoint\": \"/")) << record;
    // No temporary file is left of it.
    for (const std::string& name : {std::string("ListTex1.txt"), std::string(listing::kRecordName),
                                    std::string(listing::kIndexName)}) {
        EXPECT_TRUE(std::ifstream(Out(name)).good()) << name;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "out"),
                            std::filesystem::directory_iterator()),
              3);
}

TEST_F(KeptListing, ARootThatIsNotUtf8IsRecordedByteForByte) {
    const std::string odd = dir / "R\xFF\xC3(";
    MakeFolder(odd);
    MakeFile(odd + "/x");
    ASSERT_EQ(Save(odd).status, 0);
    const std::string record = Record();
    EXPECT_TRUE(Holds(record, "R\\udcff\\udcc3(\"")) << record;
    std::string why;
    const auto read = catalogue::ReadRecord(record, why);
    ASSERT_TRUE(read) << why;
    EXPECT_EQ(read->root, odd);
    EXPECT_EQ(read->lines, 3u);
}

TEST_F(KeptListing, ShorterListingAfterALongerOneNamesTheEarlierFilesAndMovesTheOldRecordAside) {
    MakeFolder(dir / "big");
    const int fd = ::open((dir / "big").c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 64100; ++i)
        ::close(::openat(fd, ("f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644));
    ::close(fd);
    ASSERT_EQ(Save(dir / "big").status, 0);
    const std::string earlier = Record();
    EXPECT_TRUE(Holds(earlier, "\"last\": 3")) << earlier;
    ASSERT_EQ(Save(dir / "R").status, 0);
    const std::string record = Record();
    EXPECT_TRUE(Holds(record, "\"first\": 1,\n    \"last\": 1")) << record;
    EXPECT_TRUE(
        Holds(record, "\"notOfThisListing\": [\n    \"ListTex2.txt\",\n    \"ListTex3.txt\"\n  ]"))
        << record;
    EXPECT_EQ(ReadBytes(Out(listing::kPreviousRecordName)), earlier);
}

TEST_F(KeptListing, ASaveThatFailsLeavesTheEarlierRecordOrNone) {
    ASSERT_EQ(Save(dir / "R").status, 0);
    const std::string earlier = Record();
    // Not a folder: nothing is written, the record stays.
    EXPECT_EQ(Save(dir / "missing").status, 2);
    EXPECT_EQ(Record(), earlier);
    // A failure after the list files were started: no record describes them.
    TestRuntime runtime(dir / "out");
    runtime.failAfterLines = 0;
    runtime.failOutput = 0;
    FakeFileSystem fs;
    fs.Add(dir / "R", {"a"});
    EXPECT_EQ(app::RunHeadlessSave(dir / "R", runtime, fs), 2);
    EXPECT_FALSE(std::ifstream(Out(listing::kRecordName)).good());
    EXPECT_FALSE(std::ifstream(Out(listing::kIndexName)).good());
    EXPECT_EQ(ReadBytes(Out(listing::kPreviousRecordName)), earlier);
    EXPECT_TRUE(std::ifstream(Out(listing::kPreviousIndexName)).good());
}

// The index or the record alone failing ends the Save with exit 2, and no record describes it.
TEST_F(KeptListing, AnIndexOrARecordThatAloneCannotBeWrittenEndsTheSaveWithExitTwo) {
    for (const int failing : {1, 2}) {  // after ListTex1.txt: the index, then the record
        TestRuntime runtime(dir / "out");
        runtime.failAfterLines = 0;
        runtime.failOutput = failing;
        FakeFileSystem fs;
        fs.Add(dir / "R", {"a"});
        EXPECT_EQ(app::RunHeadlessSave(dir / "R", runtime, fs), 2);
        EXPECT_TRUE(std::ifstream(dir / "out/ListTex1.txt").good());
        EXPECT_FALSE(std::ifstream(Out(listing::kRecordName)).good());
        EXPECT_EQ(std::ifstream(Out(listing::kIndexName)).good(), failing == 2);
    }
}

TEST_F(KeptListing, DeniedAndIncompleteFoldersAreCountedAndNamedWithTheirReasons) {
    TestRuntime runtime(dir / "out");
    FakeFileSystem fs;
    const std::string r = dir / "R";
    fs.Add(r, {"a"});
    fs.Add(r + "/denied");
    fs.Add(r + "/gone");
    fs.Fail(Call::Open, r + "/denied", runtime::PermissionDenied);
    fs.Fail(Call::Open, r + "/gone", runtime::PathNotFound);
    EXPECT_EQ(app::RunHeadlessSave(r, runtime, fs), 1);
    const std::string record = Record();
    EXPECT_TRUE(Holds(record, "\"complete\": false")) << record;
    EXPECT_TRUE(Holds(record,
                      "\"denied\": {\n    \"count\": 1,\n    \"first\": [\n      {\n"
                      "        \"path\": \"" +
                          r + "/denied\",\n        \"reason\": \""))
        << record;
    EXPECT_TRUE(Holds(record,
                      "\"incomplete\": {\n    \"count\": 1,\n    \"first\": [\n      {\n"
                      "        \"path\": \"" +
                          r + "/gone\""))
        << record;

    // A folder left incomplete with none denied: not complete either.
    fs.Fail(Call::Open, r + "/denied", 0);
    EXPECT_EQ(app::RunHeadlessSave(r, runtime, fs), 1);
    EXPECT_TRUE(Holds(Record(), "\"complete\": false")) << Record();
    EXPECT_TRUE(Holds(Record(), "\"denied\": {\n    \"count\": 0")) << Record();
}

TEST_F(KeptListing, ExcludedNamesAreLeftOutWithEverythingBelowThemAndRecorded) {
    MakeFile(dir / "R/keep.txt");
    MakeFile(dir / "R/drop.tmp");
    MakeFile(dir / "R/.hidden.tmp");
    MakeFolder(dir / "R/.cache");
    MakeFile(dir / "R/.cache/inside");
    MakeFile(dir / "R/s/deep.tmp");
    MakeFile(dir / "R/s/Upper.TMP");  // patterns are case-sensitive
    const ProgramRun run = Save(dir / "R", {"--exclude", "*.tmp", "--exclude=*cache"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string r = dir / "R";
    EXPECT_EQ(ListFile(1), r + "\r\n\t" + r + "\r\n\t\ta\r\n\t\tkeep.txt\r\n\t" + r +
                               "/s\r\n\t\tUpper.TMP\r\n\t\tb\r\n");
    EXPECT_TRUE(Holds(Record(), "\"exclude\": [\n      \"*.tmp\",\n      \"*cache\"\n    ]"))
        << Record();
    EXPECT_EQ(RunProgram({"R", "--exclude", "x"}).status, 2);  // only with --save
}

TEST_F(KeptListing, OneFileSystemListsAMountedDriveByItsFolderLineWithoutEnteringIt) {
    MakeFolder(dir / "R/mnt");
    const TmpfsMount drive(dir / "R/mnt", "1m");
    if (!drive.WhyNot().empty()) GTEST_SKIP() << drive.WhyNot();
    MakeFile(dir / "R/mnt/on-the-other-drive");
    const std::string r = dir / "R";
    const ProgramRun run = Save(r, {"--one-file-system"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ListFile(1),
              r + "\r\n\t" + r + "\r\n\t\ta\r\n\t" + r + "/mnt\r\n\t" + r + "/s\r\n\t\tb\r\n");
    EXPECT_TRUE(Holds(Record(), "\"notEntered\": [\n    \"" + r + "/mnt\"\n  ]")) << Record();
    EXPECT_TRUE(Holds(Record(), "\"oneFileSystem\": true")) << Record();
    // Without the option the drive is walked as any folder.
    ASSERT_EQ(Save(r).status, 0);
    EXPECT_TRUE(Holds(ListFile(1), "\t\ton-the-other-drive\r\n"));
}

// The fields of each line of a details file: type, size, time, path.
std::vector<std::vector<std::string>> DetailsLines(const std::string& text) {
    std::vector<std::vector<std::string>> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find("\r\n", start);
        const std::string line = text.substr(start, end - start);
        std::vector<std::string> fields;
        std::size_t from = 0;
        for (int i = 0; i < 3; ++i) {
            const std::size_t tab = line.find('\t', from);
            fields.push_back(line.substr(from, tab - from));
            from = tab == std::string::npos ? line.size() : tab + 1;
        }
        fields.push_back(line.substr(from));
        lines.push_back(std::move(fields));
        start = end == std::string::npos ? text.size() : end + 2;
    }
    return lines;
}

std::string UtcSeconds(std::time_t seconds) {
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

TEST_F(KeptListing, DetailsDescribeEachLineAsLstatDoesForEveryKindOfEntry) {
    const std::string r = dir / "R";
    MakeFile(r + "/s/sized", std::string(12345, 'x'));
    ASSERT_EQ(::symlink("a", (r + "/to-file").c_str()), 0);
    ASSERT_EQ(::symlink("s", (r + "/to-folder").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (r + "/dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((r + "/fifo").c_str(), 0644), 0);
    MakeFile(r + "/line\nbreak");
    struct timespec old[2] = {{0, UTIME_OMIT}, {946684800, 0}};  // 2000-01-01
    ASSERT_EQ(::utimensat(AT_FDCWD, (r + "/a").c_str(), old, 0), 0);
    const ProgramRun run = Save(r, {"--details"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = DetailsLines(ReadBytes(Out("ListTex1.tsv")));
    const std::string listed = ListFile(1);
    ASSERT_EQ(lines.size(),
              static_cast<std::size_t>(std::count(listed.begin(), listed.end(), '\n')));
    EXPECT_EQ(lines[0], (std::vector<std::string>{"", "", "", r}));  // the root as chosen
    std::set<std::string> types;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto& fields = lines[i];
        std::string path = fields[3];
        // A line break in a name is written as its visible sign, as in the list file.
        if (const auto sign = path.find("\xE2\x90\x8A"); sign != std::string::npos) {
            path.replace(sign, 3, "\n");
        }
        struct stat st {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
        const char type = S_ISDIR(st.st_mode)   ? 'd'
                          : S_ISREG(st.st_mode) ? 'f'
                          : S_ISLNK(st.st_mode) ? 'l'
                                                : 'o';
        EXPECT_EQ(fields[0], std::string(1, type)) << path;
        EXPECT_EQ(fields[1], std::to_string(st.st_size)) << path;
        EXPECT_EQ(fields[2], UtcSeconds(st.st_mtim.tv_sec)) << path;
        types.insert(fields[0]);
    }
    EXPECT_EQ(types, (std::set<std::string>{"d", "f", "l", "o"}));
    EXPECT_TRUE(
        Holds(ReadBytes(Out("ListTex1.tsv")), "f\t0\t2000-01-01T00:00:00Z\t" + r + "/a\r\n"));
    EXPECT_TRUE(Holds(ReadBytes(Out("ListTex1.tsv")), "f\t12345\t"));
    EXPECT_TRUE(Holds(Record(), "\"details\": true")) << Record();
}

TEST_F(KeptListing, DetailsStayAlignedAcrossTheSplitAndAPlainSaveNamesThemAsStale) {
    MakeFolder(dir / "big");
    for (int folder = 0; folder < 4; ++folder) {
        const std::string path = dir / ("big/d" + std::to_string(folder));
        MakeFolder(path);
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY);
        for (int i = 0; i < 9000; ++i) {
            ::close(::openat(fd, ("f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644));
        }
        ::close(fd);
    }
    ASSERT_EQ(Save(dir / "big", {"--details"}).status, 0);
    std::string folder;  // the folder line before, in this file or the one before
    for (int number = 1; number <= 2; ++number) {
        const auto details = DetailsLines(ReadBytes(Out(listing::DetailsFileName(number))));
        const std::string text = ListFile(number);
        std::vector<std::string> lines;
        for (std::size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos;
             start = end + 2) {
            lines.push_back(text.substr(start, end - start));
        }
        ASSERT_EQ(details.size(), lines.size()) << number;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].starts_with("\t\t")) {
                EXPECT_EQ(details[i][3], folder + "/" + lines[i].substr(2)) << number << ":" << i;
            } else if (lines[i].starts_with('\t')) {
                folder = lines[i].substr(1);
                EXPECT_EQ(details[i][3], folder) << number << ":" << i;
            }
        }
        // The second file's first lines lie in the folder the first file ended in.
        EXPECT_TRUE(number == 1 || lines[0].starts_with("\t\t")) << lines[0];
    }
    ASSERT_EQ(Save(dir / "R").status, 0);
    EXPECT_TRUE(Holds(Record(),
                      "\"notOfThisListing\": [\n    \"ListTex1.tsv\",\n    \"ListTex2.tsv\",\n    "
                      "\"ListTex2.txt\"\n  ]"))
        << Record();
    EXPECT_TRUE(Holds(Record(), "\"details\": false"));
}

class ComparedListings : public KeptListing {
  protected:
    ProgramRun SaveInto(const std::string& root, const std::string& into) {
        MakeFolder(into);
        return RunProgram({"--save", root, "--list-folder", into});
    }
};

TEST_F(ComparedListings, AddedRemovedAndReplacedEntriesAtEveryDepthInListingOrder) {
    const std::string r = dir / "R";
    MakeFolder(r + "/s/t");
    MakeFile(r + "/s/t/old");
    MakeFolder(r + "/gone");
    MakeFile(r + "/gone/with-it");
    MakeFolder(r + "/a-b");
    ASSERT_EQ(SaveInto(r, dir / "old").status, 0);
    // The same tree, changed, listed from another place (as a backup mounted elsewhere would be).
    ASSERT_EQ(std::system(("cp -a '" + r + "' '" + dir / "copy" + "'").c_str()), 0);
    const std::string c = dir / "copy";
    ::unlink((c + "/s/t/old").c_str());
    MakeFile(c + "/s/t/new");
    ::unlink((c + "/gone/with-it").c_str());
    ::rmdir((c + "/gone").c_str());
    ::unlink((c + "/a").c_str());
    MakeFolder(c + "/a");  // a file become a folder, listed with what it holds before "a-b"
    MakeFolder(c + "/a/sub");
    MakeFile(c + "/a-b/x");
    ASSERT_EQ(SaveInto(c, dir / "new").status, 0);

    const ProgramRun run = RunProgram({"--compare", dir / "old", dir / "new"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, "-\t" + r +
                           "/a\n"
                           "+\t" +
                           c +
                           "/a/\n"
                           "+\t" +
                           c +
                           "/a/sub/\n"
                           "+\t" +
                           c +
                           "/a-b/x\n"
                           "-\t" +
                           r +
                           "/gone/\n"
                           "-\t" +
                           r +
                           "/gone/with-it\n"
                           "+\t" +
                           c +
                           "/s/t/new\n"
                           "-\t" +
                           r + "/s/t/old\n");
    const ProgramRun same = RunProgram({"--compare", dir / "old", dir / "old"});
    EXPECT_EQ(same.status, 0) << same.err;
    EXPECT_EQ(same.out, "");
}

// Listings made with other options are compared all the same, with a warning on stderr that
// names them: what one leaves out shows as removed.
TEST_F(ComparedListings, ListingsMadeWithOtherOptionsAreComparedWithAWarning) {
    const std::string r = dir / "R";
    ASSERT_EQ(SaveInto(r, dir / "all").status, 0);
    ASSERT_EQ(RunProgram({"--save", r, "--list-folder", dir / "some", "--exclude", "b"}).status, 0);
    const ProgramRun run = RunProgram({"--compare", dir / "all", dir / "some"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "-\t" + r + "/s/b\n");
    EXPECT_EQ(run.err,
              "quorvale: warning: the listings were made with other options (no options, then "
              "--exclude 'b'): what one leaves out shows as removed or added\n");
    EXPECT_EQ(RunProgram({"--compare", dir / "all", dir / "all"}).err, "");
}

TEST_F(ComparedListings, WithDetailsOnBothSidesAChangedSizeOrTimeIsMarked) {
    const std::string r = dir / "R";
    ASSERT_EQ(RunProgram({"--save", r, "--list-folder", dir / "out", "--details"}).status, 0);
    ASSERT_EQ(SaveInto(r, dir / "plain").status, 0);
    MakeFile(r + "/s/b", "grown");
    struct timespec old[2] = {{0, UTIME_OMIT}, {946684800, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (r + "/s/b").c_str(), old, 0), 0);
    ASSERT_EQ(::utimensat(AT_FDCWD, (r + "/a").c_str(), old, 0), 0);
    MakeFolder(dir / "new");
    ASSERT_EQ(RunProgram({"--save", r, "--list-folder", dir / "new", "--details"}).status, 0);
    const ProgramRun run = RunProgram({"--compare", dir / "out", dir / "new"});
    EXPECT_EQ(run.status, 1) << run.err;
    // What changed, by its letters: the time alone, then the size and the time.
    EXPECT_EQ(run.out, "~m\t" + r + "/a\n~sm\t" + r + "/s/b\n");
    EXPECT_EQ(run.err, "");
    // Only one side with details: entries alone are compared.
    const ProgramRun plain = RunProgram({"--compare", dir / "plain", dir / "new"});
    EXPECT_EQ(plain.status, 0) << plain.out << plain.err;
    // The same tree listed with details from another place: its paths differ, its entries do not.
    // A folder that once held many names keeps the size of its table of names (on ext4); its
    // copy's is smaller: no change of what it holds.
    MakeFolder(r + "/grown");
    for (int i = 0; i < 400; ++i)
        MakeFile(r + "/grown/" + std::string(40, 'n') + std::to_string(i));
    for (int i = 0; i < 400; ++i) {
        ASSERT_EQ(::unlink((r + "/grown/" + std::string(40, 'n') + std::to_string(i)).c_str()), 0);
    }
    MakeFolder(dir / "before-copy");
    ASSERT_EQ(RunProgram({"--save", r, "--list-folder", dir / "before-copy", "--details"}).status,
              0);
    ASSERT_EQ(std::system(("cp -a '" + r + "' '" + dir / "copy" + "'").c_str()), 0);
    MakeFolder(dir / "copied");
    ASSERT_EQ(
        RunProgram({"--save", dir / "copy", "--list-folder", dir / "copied", "--details"}).status,
        0);
    const ProgramRun moved = RunProgram({"--compare", dir / "before-copy", dir / "copied"});
    EXPECT_EQ(moved.status, 0) << moved.out << moved.err;
    EXPECT_EQ(moved.out, "");
}

TEST_F(ComparedListings, AFolderWithoutARecordOrWithStaleListFilesIsAnError) {
    ASSERT_EQ(SaveInto(dir / "R", dir / "old").status, 0);
    MakeFolder(dir / "bare");
    MakeFile(dir / "bare/ListTex1.txt", "x\r\n");
    const ProgramRun bare = RunProgram({"--compare", dir / "old", dir / "bare"});
    EXPECT_EQ(bare.status, 2);
    EXPECT_EQ(bare.out, "");
    EXPECT_TRUE(Holds(bare.err, "quorvale: cannot compare \"" + dir / "bare" + "\": it holds no " +
                                    std::string(listing::kRecordName)))
        << bare.err;
    std::ofstream(dir / "old/ListTex1.txt", std::ios::app) << "\t\tadded by hand\r\n";
    const ProgramRun stale = RunProgram({"--compare", dir / "old", dir / "old"});
    EXPECT_EQ(stale.status, 2);
    EXPECT_TRUE(Holds(stale.err, "are not the ones its record describes")) << stale.err;
    ::unlink((dir / "old/ListTex1.txt").c_str());
    EXPECT_EQ(RunProgram({"--compare", dir / "old", dir / "old"}).status, 2);
    EXPECT_EQ(RunProgram({"--compare", dir / "old"}).status, 2);
}

TEST_F(ComparedListings, TwoListingsOfAMillionLinesCompareInLittleMemory) {
    WriteListing(dir / "old", "/a", 1000000, 0);
    WriteListing(dir / "new", "/b", 1000000, 100);
    const ProgramRun run = RunProgram({"--compare", dir / "old", dir / "new"});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 10000);
    EXPECT_TRUE(run.out.starts_with("-\t/a/d100000/file1000000\n-\t/a/d100001/file1000100\n"))
        << run.out.substr(0, 200);
    EXPECT_LT(run.peakKiB, 30 * 1024 + SanitizerSlackKiB());
}

// Names holding LF or CR, at several depths, sort by their real bytes in the walk; the comparison
// orders them the same way, so an entry in both listings is never reported.
TEST_F(ComparedListings, NamesWithLineBreaksAtEveryDepthCompareInTheWalksOrder) {
    const std::string r = dir / "B";
    MakeFolder(r);
    for (const char* file : {"a\nb", "a~", "a\rc", "a", "a\x7f"}) MakeFile(r + "/" + file);
    for (const char* folder : {"d\nx", "d~", "d\nx/e\rz", "d\nx/e~", "d\rq"}) {
        MakeFolder(r + "/" + folder);
    }
    for (const char* file : {"d\nx/f\ny", "d\nx/f~", "d~/g", "d\nx/e\rz/h\n", "d\nx/e\rz/h~"}) {
        MakeFile(r + "/" + file);
    }
    ASSERT_EQ(SaveInto(r, dir / "before").status, 0);
    ASSERT_EQ(SaveInto(r, dir / "same").status, 0);
    const ProgramRun same = RunProgram({"--compare", dir / "before", dir / "same"});
    EXPECT_EQ(same.status, 0) << same.out << same.err;
    EXPECT_EQ(same.out, "");
    ::unlink((r + "/a~").c_str());
    ::unlink((r + "/d\nx/e\rz/h~").c_str());
    ASSERT_EQ(SaveInto(r, dir / "after").status, 0);
    const ProgramRun changed = RunProgram({"--compare", dir / "before", dir / "after"});
    EXPECT_EQ(changed.status, 1) << changed.err;
    EXPECT_EQ(changed.out, "-\t" + r + "/a~\n-\t" + r + "/d\xE2\x90\x8Ax/e\xE2\x90\x8Dz/h~\n");
}

// A Save that replaces a list file while a comparison reads the listing (here between two of the
// comparison's checks) is found at the end: the comparison says so rather than pass off what may
// mix two listings; read again, the listing compares whole.
TEST_F(ComparedListings, ASaveReplacingAListingWhileItIsReadIsFoundAtTheEnd) {
    WriteListing(dir / "old", "/a", 200000, 0);
    WriteListing(dir / "new", "/a", 200000, 7);
    int checks = 0;
    const auto replaceOnce = [&] {
        if (++checks != 20) return;  // past the first list files
        // What a Save does: a new file renamed into place.
        const std::string file = dir / "new/ListTex1.txt";
        ASSERT_EQ(std::system(("cp '" + file + "' '" + file + ".new' && mv '" + file + ".new' '" +
                               file + "'")
                                  .c_str()),
                  0);
    };
    std::size_t told = 0;
    EXPECT_THROW(catalogue::CompareListings(
                     dir / "old", dir / "new", [&told](std::string_view) { ++told; }, replaceOnce),
                 catalogue::ListingChanged);
    EXPECT_GT(told, 0u);
    std::size_t again = 0;
    EXPECT_TRUE(catalogue::CompareListings(dir / "old", dir / "new",
                                           [&again](std::string_view) { ++again; }));
    EXPECT_EQ(again, told);
    // The program prints only once it has read both whole.
    const ProgramRun run = RunProgram({"--compare", dir / "old", dir / "new"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(static_cast<std::size_t>(std::count(run.out.begin(), run.out.end(), '\n')), told);
}

// Hostile files in place of the record, a list file or a details file: each is refused at once
// (exit 2, the file named), never read, never waited on.
TEST_F(ComparedListings, AnythingButARegularFileInPlaceOfAKeptFileIsRefusedAtOnce) {
    MakeFolder(dir / "base");
    ASSERT_EQ(RunProgram({"--save", dir / "R", "--list-folder", dir / "base", "--details"}).status,
              0);
    struct Case {
        std::string file;
        std::string kind;  // what takes its place
        std::string says;
    };
    const std::vector<Case> cases = {
        {std::string(listing::kRecordName), "fifo", "is not a regular file"},
        {std::string(listing::kRecordName), "folder", "is not a regular file"},
        {std::string(listing::kRecordName), "link", "is a link, not a file"},
        {listing::ListFileName(1), "fifo", "is not a regular file"},
        {listing::ListFileName(1), "link", "is a link, not a file"},
        {listing::ListFileName(1), "device", "is not a regular file"},
        {listing::DetailsFileName(1), "fifo", "is not a regular file"},
        {listing::DetailsFileName(1), "folder", "is not a regular file"},
    };
    for (const Case& c : cases) {
        const std::string folder = dir / ("hostile-" + std::to_string(&c - cases.data()));
        ASSERT_EQ(std::system(("cp -a '" + dir / "base" + "' '" + folder + "'").c_str()), 0);
        const std::string path = folder + "/" + c.file;
        ::unlink(path.c_str());
        if (c.kind == "fifo") {
            ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
        } else if (c.kind == "folder") {
            MakeFolder(path);
        } else if (c.kind == "link") {
            MakeLink(dir / "base/" + c.file, path);
        } else if (::mknod(path.c_str(), S_IFCHR | 0644, ::makedev(1, 5)) != 0) {
            continue;  // a device (/dev/zero's numbers) needs root
        }
        const ProgramRun run = RunProgram({"--compare", dir / "base", folder});
        EXPECT_EQ(run.status, 2) << c.file << " as a " << c.kind;
        EXPECT_EQ(run.out, "") << c.file << " as a " << c.kind;
        EXPECT_TRUE(Holds(run.err, c.file + " " + c.says)) << c.kind << ": " << run.err;
    }
}

// A list file with no line break at all is refused once past the longest line a Save writes, in
// one pass over its bytes, holding no more than that line.
TEST_F(ComparedListings, ALineLongerThanASaveWritesIsRefusedWithItsFileAndNumber) {
    MakeFolder(dir / "long");
    const std::string text = "/R\r\n" + std::string(listing::kMaxLineBytes + 100, 'x');
    MakeFile(dir / "long/ListTex1.txt", text);
    catalogue::ListingRecord record;
    record.root = "/R";
    record.lastListFile = 1;
    record.lines = 2;
    record.bytes = text.size();
    MakeFile(dir / "long/" + std::string(listing::kRecordName), catalogue::RecordText(record));
    const ProgramRun run = RunProgram({"--compare", dir / "long", dir / "long"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Holds(run.err, "line 2 of ListTex1.txt is longer than a Save writes")) << run.err;
    EXPECT_LT(run.peakKiB,
              static_cast<long>(listing::kMaxLineBytes) / 1024 + 30 * 1024 + SanitizerSlackKiB());
}

// What a record holds beyond the fields a reader uses is checked and passed over: a record near
// the largest one read, of any shape, costs a few times its size, never more.
TEST_F(ComparedListings, ARecordOfAnyShapeCostsAFewTimesItsSize) {
    WriteListing(dir / "shaped", "/a", 1000, 0);
    const std::string recordPath = dir / "shaped/" + std::string(listing::kRecordName);
    std::string plain = ReadBytes(recordPath);
    while (plain.ends_with('\n')) plain.pop_back();
    ASSERT_TRUE(plain.ends_with('}'));
    plain.pop_back();  // the closing brace
    // Written a piece at a time: the test's own memory, which a child shares until it starts
    // the program, stays small.
    const auto shaped = [&](char opening, const std::string& before, const std::string& after,
                            int count) {
        std::ofstream out(recordPath, std::ios::binary | std::ios::trunc);
        out << plain << ", \"later\": " << opening;
        for (int i = 0; i < count; ++i) out << (i == 0 ? "" : ",") << before << i << after;
        out << (opening == '[' ? "]" : "}") << "}";
        return static_cast<long>(out.tellp());
    };
    struct Shape {
        char opening;
        const char* before;
        const char* after;
        int count;
    };
    const Shape shapes[] = {
        {'[', "[[[[[", "]]]]]", 900000},  // many values, nested
        {'{', "\"k", "\":0", 1300000},    // many keys of one object
        {'[', "\"", "\"", 1500000},       // many small strings
    };
    // Under AddressSanitizer freed memory is held back (a quarantine of 256 MiB), which would be
    // counted as the reader's: it is kept small here.
    RunOptions options;
    if (kSanitizerSlackKiB != 0) {
        const char* asan = std::getenv("ASAN_OPTIONS");
        options.environment = {
            {"ASAN_OPTIONS", std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=1"}};
    }
    for (const Shape& shape : shapes) {
        const long bytes = shaped(shape.opening, shape.before, shape.after, shape.count);
        ASSERT_LT(bytes, 16 << 20);
        const ProgramRun run = RunProgram({"--compare", dir / "shaped", dir / "shaped"}, options);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_LT(run.peakKiB, 4 * bytes / 1024 + 30 * 1024 + SanitizerSlackKiB())
            << bytes << " bytes of " << shape.count << " times " << shape.before;
    }
}

// SIGINT, SIGTERM and SIGHUP stop a comparison with 130, 143 and 129, and a reader of its output
// that goes away ends it with 141; what was printed is whole lines.
TEST_F(ComparedListings, SignalsAndAReaderGoneStopAComparison) {
    WriteListing(dir / "old", "/a", 2000000, 0);
    WriteListing(dir / "new", "/b", 2000000, 3);
    for (const auto& [signal, status] : {std::pair{SIGTERM, 143}, {SIGINT, 130}, {SIGHUP, 129}}) {
        const ProgramRun stopped =
            RunProgram({"--compare", dir / "old", dir / "new"},
                       {.sigtermOnceTrue = [](pid_t) { return true; }, .stopSignal = signal});
        EXPECT_EQ(stopped.status, status) << stopped.err;
        EXPECT_TRUE(stopped.out.empty() || stopped.out.ends_with('\n'));
        EXPECT_TRUE(Holds(stopped.err, "stopped by signal " + std::to_string(signal)))
            << stopped.err;
    }
    const ProgramRun gone =
        RunProgram({"--compare", dir / "old", dir / "new"}, {.stdoutReaderGone = true});
    EXPECT_EQ(gone.status, 141) << gone.err;
}

// Records no Save writes are refused, saying which field is wrong; Quorvale's own are read back.
TEST(RecordReader, HostileRecordsAreErrorsNamingWhatIsWrong) {
    const auto record = [](const std::string& files, const std::string& rest = "") {
        return R"({"program": "quorvale", "root": "/R", "listFiles": )" + files + rest + "}";
    };
    const std::string good = R"({"first": 1, "last": 2, "bytes": 100}, "lines": 40)";
    struct Case {
        std::string text;
        std::string says;
    };
    const Case cases[] = {
        {record(R"({"first": 1, "last": 2, "bytes": 18446744073709551616}, "lines": 40)"),
         "a number past 2^64"},
        {record(R"({"first": 4294967297, "last": 2, "bytes": 100}, "lines": 40)"),
         "\"listFiles.first\" is out of range (4294967297)"},
        {record(R"({"first": 1, "last": 40000, "bytes": 100}, "lines": 40)"),
         "\"listFiles.last\" is out of range"},
        {record(good, R"(, "lines": 2)"), "the key \"lines\" twice"},
        {record(R"({"first": 3, "last": 2, "bytes": 100}, "lines": 40)"),
         "\"listFiles.first\" is after \"listFiles.last\""},
        {record(R"({"first": 1, "last": 0, "bytes": 0}, "lines": 5)"),
         "\"lines\" and \"listFiles\" do not agree"},
        {record(R"({"first": 1, "last": 1, "bytes": 7}, "lines": 5)"),
         "\"lines\" and \"listFiles\" do not agree"},
        {record(R"({"first": 1, "last": 2, "bytes": "100"}, "lines": 40)"),
         "\"listFiles.bytes\" is missing or not a number"},
        {record(R"({"first": 1, "last": 2, "bytes": 1e3}, "lines": 40)"),
         "a number that is not whole"},
        {record(good, R"(, "complete": "yes")"), "\"complete\" is not true or false"},
        {record(good, R"(, "x": [[[[[[[[[[1]]]]]]]]]])"), "nested deeper than a record"},
        {record(good) + "x", "text after the record's end"},
        {record(good, R"(, "format": 2)"), "a record of a later format"},
        {record(good, R"(, "format": "1")"), "\"format\" is missing or not a number"},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_FALSE(catalogue::ReadRecord(c.text, why).has_value()) << c.text;
        EXPECT_TRUE(Holds(why, c.says)) << c.says << ": " << why;
    }
    // Unknown keys are passed over, and a record of this version reads back.
    std::string read;
    const auto kept = catalogue::ReadRecord(record(good, R"(, "later": {"a": [1, "b"]})"), read);
    ASSERT_TRUE(kept.has_value()) << read;
    EXPECT_EQ(kept->lastListFile, 2);
    EXPECT_EQ(kept->lines, 40u);
}

}  // namespace
}  // namespace quorvale::test
