// Finding entries in kept listings: the patterns as locate takes them, matches against the tests'
// own walk of odd trees, several listings and drives, and what a search does with listings it
// cannot read.
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "catalogue/earlier_listing.h"
#include "catalogue/index_search.h"
#include "catalogue/index_writer.h"
#include "catalogue/kept_listing.h"
#include "catalogue/listing_find.h"
#include "listing/list_file_name.h"
#include "reading/posix_file_system.h"
#include "runtime/human_size.h"
#include "runtime/unique_fd.h"
#include "support/odd_tree.h"
#include "support/program_run.h"
#include "support/synthetic_listing.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

// Patterns against paths, a table of what locate's users expect, bytes throughout.
TEST(FindPattern, SubstringsShellPatternsNamesAndCaseAsLocateTakesThem) {
    struct Case {
        std::string pattern;
        bool basename;
        bool ignoreCase;
        std::string path;
        bool matches;
    };
    const Case cases[] = {
        {"port", false, false, "/srv/reports/may.txt", true},  // a substring anywhere
        {"Port", false, false, "/srv/reports/may.txt", false},
        {"Port", false, true, "/srv/reports/may.txt", true},
        {"srv", true, false, "/srv/reports/may.txt", false},    // the name only
        {"*.txt", false, false, "/srv/reports/may.txt", true},  // the whole path
        {"may*", false, false, "/srv/reports/may.txt", false},
        {"may*", true, false, "/srv/reports/may.txt", true},
        {"/srv/*/may.txt", false, false, "/srv/a/b/may.txt", true},  // '*' crosses '/'
        {"ma?.txt", true, false, "may.txt", true},
        {"ma?.txt", true, false, "ma.txt", false},
        {"[lm]ay.txt", true, false, "may.txt", true},
        {"[!m]ay.txt", true, false, "may.txt", false},
        {"[^a-l]ay.txt", true, false, "may.txt", true},
        {"[A-Z]AY.TXT", true, true, "may.txt", true},
        {"[]x]", true, false, "]", true},   // "]" first is a member
        {"[a-]", true, false, "-", true},   // "-" last is a member
        {"a\\*", true, false, "a*", true},  // a backslash makes the byte plain
        {"a\\*", true, false, "ab", false},
        {"a\\*", true, false, "a*x", false},  // the whole name, as any pattern
        {"[ab", true, false, "[ab", true},    // a bracket never closed is plain
        {"*[ab", true, false, "x[ab", true},
        {"\xC3\xA9", false, true, "/\xC3\x89t\xC3\xA9", true},  // only A-Z fold
        {"\xC3\x89T\xC3\x89", false, true, "/\xC3\xA9t\xC3\xA9", false},
        {"\xFF*", true, false, "\xFF\xFE", true},  // bytes that are not UTF-8
        {"*", false, false, "", true},
        {"", false, false, "/anything", true},
        {"*a*a*a*a*a*b", false, false, std::string(200, 'a'), false},  // no blow-up
        {"a*a", true, false, "a", false},  // the parts between stars never overlap
        {"a*b*a", true, false, "aba", true},
        {"*b*b", true, false, "abab", true},
        {"*b*b", true, false, "ab", false},
        {"**ay**", true, false, "may", true},
        {"MAY*TXT", true, true, "may.txt", true},
        {"a\\\\*", true, false, "a\\x", true},  // an escaped backslash, then a star
        {"*/may.txt", true, false, "may.txt", false},
        {"\xC3\xA9", true, true, "\xE3\xA9\x80", false},  // no byte but A-Z folds, 0xC3 among them
        {"\xC3\x89", true, true, "\xC3\xA9", false},
    };
    for (const Case& c : cases) {
        const catalogue::EntryMatcher matcher({c.pattern, c.basename, c.ignoreCase});
        EXPECT_EQ(matcher.Matches(c.path), c.matches)
            << "'" << c.pattern << "' " << (c.basename ? "-b " : "") << (c.ignoreCase ? "-i " : "")
            << "on '" << c.path << "'";
    }
}

// What locate would find among `entries`, by the C library's fnmatch in the C locale.
std::multiset<std::string> Expected(const std::vector<std::string>& entries,
                                    const catalogue::FindQuery& query) {
    std::multiset<std::string> found;
    for (const std::string& entry : entries) {
        std::string text =
            entry.size() > 1 && entry.ends_with('/') ? entry.substr(0, entry.size() - 1) : entry;
        if (query.basename) text = text.substr(text.rfind('/') + 1);
        bool match = false;
        if (query.pattern.find_first_of("*?[") != std::string::npos) {
            match = ::fnmatch(query.pattern.c_str(), text.c_str(),
                              query.ignoreCase ? FNM_CASEFOLD : 0) == 0;
        } else {
            std::string pattern = query.pattern;
            if (query.ignoreCase) {
                for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
                for (char& c : pattern) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
            }
            match = text.find(pattern) != std::string::npos;
        }
        if (match) found.insert(entry);
    }
    return found;
}

// The paths of `quorvale --find --where` output, each line's fourth field on.
std::multiset<std::string> FoundPaths(const std::string& out, char end, std::string* prefix) {
    std::multiset<std::string> paths;
    std::size_t at = 0;
    while (at < out.size()) {
        const std::size_t stop = out.find(end, at);
        if (stop == std::string::npos) {
            ADD_FAILURE() << "a line without its end";
            break;
        }
        const std::string line = out.substr(at, stop - at);
        const std::size_t third = line.find('\t', line.find('\t', line.find('\t') + 1) + 1);
        if (prefix != nullptr) *prefix = line.substr(0, third + 1);
        paths.insert(line.substr(third + 1));
        at = stop + 1;
    }
    return paths;
}

class FindInKeptListings : public ::testing::Test {
  protected:
    ProgramRun Find(std::vector<std::string> flags, const std::string& pattern,
                    std::vector<std::string> folders) {
        flags.push_back("--find");
        flags.push_back(pattern);
        flags.insert(flags.end(), folders.begin(), folders.end());
        return RunProgram(flags);
    }
    ProgramRun SaveInto(const std::string& root, const std::string& listFolder,
                        std::vector<std::string> more = {}) {
        std::vector<std::string> args{"--save", root, "--list-folder", listFolder};
        args.insert(args.end(), more.begin(), more.end());
        return RunProgram(args);
    }
    // Sets what a record says of when its Save ended and of its drive.
    void SetRecord(const std::string& listFolder, const std::string& ended,
                   const std::string& uuid = "") {
        const std::string path = listFolder + "/" + std::string(listing::kRecordName);
        std::string text = ReadBytes(path);
        const auto replace = [&text](const std::string& key, const std::string& value) {
            const std::size_t at = text.find("\"" + key + "\": \"");
            ASSERT_NE(at, std::string::npos) << key;
            const std::size_t start = at + key.size() + 5;
            text.replace(start, text.find('"', start) - start, value);
        };
        replace("ended", ended);
        replace("uuid", uuid);
        MakeFile(path, text);
    }

    TempDir dir;
};

// Random odd trees: every pattern form, with and without -b and -i, finds what the C library's
// fnmatch or a plain substring search finds over the tests' own walk of the tree; -0 ends each
// line with NUL, -c counts, -l limits.
TEST_F(FindInKeptListings, EveryPatternFormFindsWhatAnIndependentSearchFinds) {
    std::mt19937 random(20261208);
    for (int tree = 0; tree < 3; ++tree) {
        const std::string root = dir / ("T" + std::to_string(tree));
        const std::string list = dir / ("L" + std::to_string(tree));
        MakeFolder(root);
        MakeOddTree(root, random);
        ASSERT_EQ(SaveInto(root, list).status, 0);
        std::vector<std::string> entries;
        Walk(root, entries);
        std::vector<std::string> patterns = {
            "a",  "report", "*", "*.",  "*[ab]*",       "?",  "*\xFF*", "[!a-z]*",
            "-x", "*\\**",  "[", "*[*", "\xE2\x90\x8A", "*L", "REPORT"};
        for (int i = 0; i < 5; ++i) {  // pieces of real entries
            const std::string& entry = entries[random() % entries.size()];
            const std::size_t at = random() % entry.size();
            patterns.push_back(entry.substr(at, 1 + random() % 6));
        }
        // Every form by the index and by the list files alone: the same entries as fnmatch.
        for (const std::string& pattern : patterns) {
            for (const int form : {0, 1, 2, 3}) {
                const catalogue::FindQuery query{pattern, (form & 1) != 0, (form & 2) != 0};
                const std::multiset<std::string> expected = Expected(entries, query);
                for (const bool useIndex : {true, false}) {
                    std::multiset<std::string> found;
                    catalogue::FindInListing(list, catalogue::EntryMatcher(query),
                                             {false, useIndex},
                                             [&found](const catalogue::FoundEntry& entry) {
                                                 found.emplace(entry.path);
                                                 return true;
                                             });
                    EXPECT_EQ(found, expected) << "'" << pattern << "' form " << form
                                               << (useIndex ? ", by the index" : ", streamed");
                }
            }
        }
        // The program prints them so: --where after the list folder and when it was saved; -0
        // the paths alone, ended by NUL, with their own bytes (a CR or LF in a name as itself);
        // -c counts them.
        std::vector<std::string> realEntries;
        Walk(root, realEntries, true);
        ASSERT_EQ(realEntries.size(), entries.size());
        for (const std::string& pattern :
             {patterns[1], patterns[7], patterns[12], patterns.back()}) {
            const catalogue::FindQuery query{pattern, true, true};
            const std::multiset<std::string> expected = Expected(entries, query);
            std::multiset<std::string> expectedBytes;
            for (std::size_t i = 0; i < entries.size(); ++i) {
                if (expected.contains(entries[i])) expectedBytes.insert(realEntries[i]);
            }
            const ProgramRun where = Find({"--where", "-b", "--ignore-case"}, pattern, {list});
            std::string prefix;
            EXPECT_EQ(FoundPaths(where.out, '\n', &prefix), expected) << pattern << where.err;
            EXPECT_EQ(where.status, expected.empty() ? 1 : 0);
            if (!expected.empty()) {
                EXPECT_TRUE(prefix.starts_with(list + "\t")) << prefix;
            }
            const ProgramRun run = Find({"-0", "-b", "--ignore-case"}, pattern, {list});
            std::multiset<std::string> paths;
            for (std::size_t at = 0, end; (end = run.out.find('\0', at)) != std::string::npos;
                 at = end + 1) {
                paths.insert(run.out.substr(at, end - at));
            }
            EXPECT_EQ(paths, expectedBytes) << pattern << run.err;
            const ProgramRun count = Find({"-c", "-b", "-i"}, pattern, {list});
            EXPECT_EQ(count.out, std::to_string(expected.size()) + "\n") << pattern;
        }
        const ProgramRun limited = Find({"--limit", "3"}, "/", {list});
        EXPECT_EQ(std::count(limited.out.begin(), limited.out.end(), '\n'), 3);
    }
}

// The output and status of a shell command (an independent reader's answer).
ProgramRun RunCommand(const std::string& command) {
    ProgramRun run;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[256];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        run.out.append(buffer, n);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// What people ask of a catalogue beside a name: sizes, times and types, from the details of a
// listing saved with --details (one without them says so once and answers nothing); sizes as
// people read them, rounded as numfmt --to=iec rounds them.
TEST_F(FindInKeptListings, SizeTimeAndTypeFiltersAnswerFromTheDetails) {
    const std::string root = dir / "R";
    MakeFolder(root);
    MakeFolder(root + "/sub");
    MakeFile(root + "/big", std::string(3 * 1024 * 1024 + 1, 'x'));
    MakeFile(root + "/small", "hi");
    MakeLink("big", root + "/link");
    struct timespec old[2] = {{0, UTIME_OMIT}, {946684800, 0}};  // 2000-01-01 UTC
    ASSERT_EQ(::utimensat(AT_FDCWD, (root + "/small").c_str(), old, 0), 0);
    ASSERT_EQ(SaveInto(root, dir / "L", {"--details"}).status, 0);
    ASSERT_EQ(SaveInto(root, dir / "plain").status, 0);
    const auto found = [&](std::vector<std::string> options, const std::string& folder) {
        const ProgramRun run = Find(std::move(options), "/", {folder});
        return run.out;
    };
    EXPECT_EQ(found({"--size", "+3M"}, dir / "L"), root + "/big\n");
    EXPECT_EQ(found({"--size=-2M", "--type", "f"}, dir / "L"), root + "/small\n");
    EXPECT_EQ(found({"--size", "4M"}, dir / "L"), root + "/big\n");  // rounded up, as find does
    EXPECT_EQ(found({"--older", "2001-01-01"}, dir / "L"), root + "/small\n");
    EXPECT_EQ(found({"--newer", "2001-01-01T00:00:00Z", "--type", "f"}, dir / "L"),
              root + "/big\n");
    // Newer and older are strict, as find -newermt is: a file of that very second is neither.
    EXPECT_EQ(found({"--newer", "2000-01-01", "--type", "f"}, dir / "L"), root + "/big\n");
    EXPECT_EQ(found({"--older", "2000-01-01T00:00:00Z", "--type", "f"}, dir / "L"), "");
    EXPECT_EQ(found({"--older", "2000-01-01T00:00:01Z", "--type", "f"}, dir / "L"),
              root + "/small\n");
    EXPECT_EQ(found({"--type", "d"}, dir / "L"), root + "/\n" + root + "/sub/\n");
    EXPECT_EQ(found({"--type", "l"}, dir / "L"), root + "/link\n");
    const ProgramRun plain = Find({"--type", "f", "--all"}, "/", {dir / "plain", dir / "L"});
    EXPECT_EQ(plain.status, 0);
    EXPECT_EQ(plain.out, root + "/big\n" + root + "/small\n");
    EXPECT_EQ(plain.err, "quorvale: \"" + dir / "plain" +
                             "\" was saved without --details: no entry of it has a size, time or "
                             "type to match --size, --newer, --older or --type\n");
    // --long -h: the size as numfmt --to=iec gives it.
    const ProgramRun human = Find({"--long", "-h", "-b"}, "big", {dir / "L"});
    const ProgramRun numfmt = RunCommand("numfmt --to=iec " + std::to_string(3 * 1024 * 1024 + 1));
    ASSERT_EQ(numfmt.status, 0);
    EXPECT_TRUE(Holds(human.out, "\tf\t" + numfmt.out.substr(0, numfmt.out.size() - 1) + "\t"))
        << human.out;
    for (const std::uint64_t bytes : {0ULL, 1023ULL, 1024ULL, 1536ULL, 10239ULL, 10240ULL,
                                      1048575ULL, 1073741824ULL, 5000000000ULL}) {
        const ProgramRun expected = RunCommand("numfmt --to=iec " + std::to_string(bytes));
        EXPECT_EQ(runtime::HumanReadableSize(bytes) + "\n", expected.out) << bytes;
    }
    // Wrong values are named.
    EXPECT_EQ(Find({"--size", "1Q"}, "x", {dir / "L"}).status, 2);
    EXPECT_EQ(Find({"--type", "x"}, "x", {dir / "L"}).status, 2);
    EXPECT_EQ(Find({"--newer", "yesterday"}, "x", {dir / "L"}).status, 2);
}

// Listings of several drives below the folders given (two levels down, not three): the newest of
// each drive and root answers, newest first, or every listing with --all; a listing that cannot
// be read is named and the others are searched.
TEST_F(FindInKeptListings, SeveralDrivesNewestFirstAndUnreadableListingsNamed) {
    for (const std::string tree : {"A", "B"}) {
        MakeFolder(dir / tree);
        MakeFile(dir / (tree + "/photo.jpg"));
    }
    const std::string catalogue = dir / "catalogue";
    ASSERT_EQ(SaveInto(dir / "A", catalogue + "/a-monday").status, 0);
    ASSERT_EQ(SaveInto(dir / "A", catalogue + "/a-tuesday").status, 0);
    ASSERT_EQ(SaveInto(dir / "B", catalogue + "/b/stick").status, 0);
    ASSERT_EQ(SaveInto(dir / "B", catalogue + "/x/y/too-deep").status, 0);
    SetRecord(catalogue + "/a-monday", "2026-01-05T10:00:00Z");
    SetRecord(catalogue + "/a-tuesday", "2026-01-06T10:00:00Z");
    SetRecord(catalogue + "/b/stick", "2025-12-24T10:00:00Z");
    // Each with the drive's note between the time and the path: none here.
    const std::string a = "\t\t" + dir / "A/photo.jpg\n";
    const std::string b = "\t\t" + dir / "B/photo.jpg\n";
    const ProgramRun newest = Find({"--where"}, "photo", {catalogue});
    EXPECT_EQ(newest.status, 0) << newest.err;
    EXPECT_EQ(newest.out, catalogue + "/a-tuesday\t2026-01-06T10:00:00Z" + a + catalogue +
                              "/b/stick\t2025-12-24T10:00:00Z" + b);
    const ProgramRun all = Find({"--all", "--where"}, "photo", {catalogue});
    EXPECT_EQ(all.out, catalogue + "/a-tuesday\t2026-01-06T10:00:00Z" + a + catalogue +
                           "/a-monday\t2026-01-05T10:00:00Z" + a + catalogue +
                           "/b/stick\t2025-12-24T10:00:00Z" + b);
    // A listing reached through two of the folders given (or twice as one) is searched once.
    const ProgramRun twice =
        Find({"--all", "--where"}, "photo", {catalogue, catalogue + "/b", catalogue + "/b/stick"});
    EXPECT_EQ(twice.out, all.out);
    EXPECT_EQ(twice.err, "");
    // The same root on two drives (their records name two UUIDs): both answer.
    SetRecord(catalogue + "/a-monday", "2026-01-05T10:00:00Z", "1111-AAAA");
    SetRecord(catalogue + "/a-tuesday", "2026-01-06T10:00:00Z", "2222-BBBB");
    EXPECT_EQ(Find({"-c"}, "photo", {catalogue}).out, "3\n");
    // A listing a Save replaced after it was chosen is searched as it is now, and told with the
    // record it has now, never the one it was chosen by.
    const auto chosen =
        catalogue::ListingsToSearch({catalogue + "/b/stick"}, false, [](const std::string&) {});
    ASSERT_EQ(chosen.size(), 1u);
    SetRecord(catalogue + "/b/stick", "2026-02-01T10:00:00Z");
    std::string searchedEnded;
    EXPECT_EQ(
        catalogue::FindInListing(
            chosen[0].folder, catalogue::EntryMatcher({"photo", false, false}), {},
            [](const catalogue::FoundEntry&) { return true; }, {},
            [&](const catalogue::ListingRecord& record, bool) { searchedEnded = record.ended; }),
        1u);
    EXPECT_EQ(chosen[0].record.ended, "2025-12-24T10:00:00Z");
    EXPECT_EQ(searchedEnded, "2026-02-01T10:00:00Z");
    SetRecord(catalogue + "/b/stick", "2025-12-24T10:00:00Z");
    // A listing that cannot be read is named; the others answer.
    ::unlink((catalogue + "/a-tuesday/" + listing::ListFileName(1)).c_str());
    const ProgramRun damaged = Find({"-c"}, "photo", {catalogue});
    EXPECT_EQ(damaged.status, 0);
    EXPECT_EQ(damaged.out, "2\n");
    EXPECT_TRUE(Holds(damaged.err, "quorvale: cannot search \"" + catalogue + "/a-tuesday\""))
        << damaged.err;
    // None can be read, or there is none: 2, and why.
    const ProgramRun none = Find({}, "photo", {catalogue + "/a-tuesday", dir / "A", dir / "gone"});
    EXPECT_EQ(none.status, 2);
    EXPECT_TRUE(Holds(none.err, "quorvale: no kept listing in \"" + dir / "A" + "\"")) << none.err;
    EXPECT_TRUE(Holds(none.err, "quorvale: cannot search \"" + dir / "gone" + "\"")) << none.err;
}

// Listings that cannot be read (a damaged record, a damaged index) hold no descriptor once they
// were given up, however often they are searched or reused; and under a small open-file limit a
// search still gives the readable listing's matches.
TEST_F(FindInKeptListings, UnreadableListingsHoldNoDescriptorAndTheOthersStillAnswer) {
    MakeFolder(dir / "A");
    MakeFile(dir / "A/photo.jpg");
    const std::string catalogue = dir / "catalogue";
    ASSERT_EQ(SaveInto(dir / "A", catalogue + "/good").status, 0);
    for (int i = 0; i < 20; ++i) {
        const std::string bad = catalogue + "/bad" + std::to_string(i);
        ASSERT_EQ(SaveInto(dir / "A", bad).status, 0);
        MakeFile(bad + "/" + std::string(listing::kRecordName), "{");
    }
    const std::string badIndex = catalogue + "/bad-index";
    ASSERT_EQ(SaveInto(dir / "A", badIndex).status, 0);
    const std::string index = badIndex + "/" + std::string(listing::kIndexName);
    std::string bytes = ReadBytes(index);
    for (std::size_t at = 8; at < bytes.size(); at += 7) bytes[at] = static_cast<char>(~bytes[at]);
    MakeFile(index, bytes);

    const std::size_t before = OpenDescriptors();
    const catalogue::EntryMatcher matcher({"photo", false, false});
    for (int round = 0; round < 30; ++round) {
        for (const std::string& folder :
             {catalogue + "/bad0", catalogue + "/bad7", badIndex, catalogue + "/good"}) {
            try {
                catalogue::FindInListing(folder, matcher, {},
                                         [](const catalogue::FoundEntry&) { return true; });
            } catch (const runtime::RuntimeError&) {
            }
        }
        EXPECT_THROW(catalogue::EarlierListing{badIndex}, runtime::RuntimeError);
        EXPECT_THROW(catalogue::EarlierListing{catalogue + "/bad3"}, runtime::RuntimeError);
        const auto listings = catalogue::ListingsToSearch({catalogue}, true, [](std::string) {});
        EXPECT_EQ(listings.size(), 2u);  // good, and the one with a damaged index
    }
    EXPECT_EQ(OpenDescriptors(), before);

    RunOptions few;
    few.openFiles = 24;
    const ProgramRun limited = RunProgram({"--find", "photo", catalogue}, few);
    EXPECT_EQ(limited.status, 0) << limited.err;
    EXPECT_EQ(limited.out, dir / "A/photo.jpg\n");
    EXPECT_TRUE(Holds(limited.err, "quorvale: cannot search \"" + catalogue + "/bad19\""))
        << limited.err;
}

// An index copied from another listing of the same line and byte counts (the record's index size
// made to agree) is not taken for this listing's: a search answers from the list files, saying
// why, and a Save reusing the listing reads every folder.
TEST_F(FindInKeptListings, AnIndexOfAnotherSaveIsNeverTakenForItsListings) {
    for (const std::string tree : {"A", "B"}) {
        MakeFolder(dir / tree);
        for (int i = 0; i < 9; ++i) {
            MakeFile(dir / (tree + "/" + (tree == "A" ? "aaa" : "bbb") + std::to_string(i)));
        }
    }
    ASSERT_EQ(SaveInto(dir / "A", dir / "L/a").status, 0);
    ASSERT_EQ(SaveInto(dir / "B", dir / "L/b").status, 0);
    const std::string foreign = ReadBytes(dir / "L/b/" + std::string(listing::kIndexName));
    MakeFile(dir / "L/a/" + std::string(listing::kIndexName), foreign);
    const std::string record = dir / "L/a/" + std::string(listing::kRecordName);
    std::string text = ReadBytes(record);
    const std::size_t bytesAt = text.find("\"bytes\": ", text.find("\"index\""));
    ASSERT_NE(bytesAt, std::string::npos);
    const std::size_t numberAt = bytesAt + 9;
    text.replace(numberAt, text.find(',', numberAt) - numberAt, std::to_string(foreign.size()));
    MakeFile(record, text);

    const ProgramRun found = Find({"-c"}, "bbb", {dir / "L/a"});
    EXPECT_EQ(found.out, "0\n");
    EXPECT_TRUE(Holds(found.err, "written by another Save than its record")) << found.err;
    EXPECT_EQ(Find({"-c"}, "aaa", {dir / "L/a"}).out, "9\n");

    const ProgramRun reused = SaveInto(dir / "A", dir / "L/again", {"--reuse", dir / "L/a"});
    EXPECT_EQ(reused.status, 0) << reused.err;
    EXPECT_TRUE(Holds(reused.err, "written by another Save than its record")) << reused.err;
    EXPECT_EQ(ReadBytes(dir / "L/again/" + listing::ListFileName(1)),
              ReadBytes(dir / "L/a/" + listing::ListFileName(1)));
}

// While a Save lists a drive again into its list folder, a search answers from the listing as it
// was before that Save began, by its index, saying so, never a mix of the two; once the Save has
// finished, from the new one. A comparison meanwhile says to try again.
TEST_F(FindInKeptListings, ADriveIsSearchableAsItWasWhileItIsListedAgain) {
    const std::string tree = dir / "T";
    MakeFolder(tree);
    for (int folder = 0; folder < 34; ++folder) {
        const std::string sub = tree + "/f" + std::to_string(folder);
        MakeFolder(sub);
        for (int file = 0; file < 1000; ++file) MakeFile(sub + "/file" + std::to_string(file));
    }
    reading::PosixFileSystem fs;
    Lister lister(fs);
    lister.Save(tree);
    const std::string listFolder = lister.programFolder.Path();
    MakeFile(tree + "/f0/new-one");
    struct Seen {
        std::uint64_t files = 0;
        std::uint64_t newOnes = 0;
        bool beforeASave = false;
        std::size_t listings = 0;
    };
    const auto search = [&] {
        Seen seen;
        const auto listings = catalogue::ListingsToSearch({listFolder}, true, [](std::string) {});
        seen.listings = listings.size();
        for (const auto& [pattern, count] :
             {std::pair{"file99", &seen.files}, std::pair{"new-one", &seen.newOnes}}) {
            *count = catalogue::FindInListing(
                listFolder, catalogue::EntryMatcher({pattern, false, false}), {},
                [](const catalogue::FoundEntry&) { return true; }, {},
                [&seen](const catalogue::ListingRecord&, bool before) {
                    seen.beforeASave = before;
                });
        }
        return seen;
    };
    const Seen before = search();
    EXPECT_EQ(before.listings, 1u);
    EXPECT_EQ(before.files, 34u * 11);  // file99, file990 .. file999
    EXPECT_EQ(before.newOnes, 0u);
    EXPECT_FALSE(before.beforeASave);

    std::vector<Seen> during;
    std::uint64_t lines = 0;
    std::string compared;
    lister.core.SetYield([&] {
        if (++lines % 8000 != 0) return;
        during.push_back(search());
        if (compared.empty()) {
            try {
                catalogue::KeptListing listing(listFolder, "compare");
            } catch (const runtime::RuntimeError& error) {
                compared = error.what();
            }
        }
    });
    lister.Save(tree);
    lister.core.SetYield({});
    ASSERT_GE(during.size(), 4u);  // past the first list file, replaced at 32000 lines
    for (const Seen& seen : during) {
        EXPECT_EQ(seen.listings, 1u);
        EXPECT_TRUE(seen.beforeASave);
        EXPECT_EQ(seen.files, before.files);
        EXPECT_EQ(seen.newOnes, 0u);
    }
    EXPECT_TRUE(Holds(compared, "a Save of it began and has not finished")) << compared;
    const Seen after = search();
    EXPECT_FALSE(after.beforeASave);
    EXPECT_EQ(after.files, before.files);
    EXPECT_EQ(after.newOnes, 1u);

    // The program says so, and a comparison says to try again: here in the state a Save that was
    // stopped midway leaves.
    const auto moveAside = [&](std::string_view from, std::string_view to) {
        ASSERT_EQ(::rename((listFolder + "/" + std::string(from)).c_str(),
                           (listFolder + "/" + std::string(to)).c_str()),
                  0);
    };
    moveAside(listing::kRecordName, listing::kPreviousRecordName);
    moveAside(listing::kIndexName, listing::kPreviousIndexName);
    MakeFile(listFolder + "/" + listing::ListFileName(1), "half\r\n");
    const ProgramRun found = Find({"-c"}, "new-one", {listFolder});
    EXPECT_EQ(found.status, 0) << found.err;
    EXPECT_EQ(found.out, "1\n");
    EXPECT_TRUE(Holds(found.err, "\"" + listFolder + "\" is being saved again")) << found.err;
    const ProgramRun compare = RunProgram({"--compare", listFolder, listFolder});
    EXPECT_EQ(compare.status, 2);
    EXPECT_TRUE(Holds(compare.err, "try again once a Save of it has finished")) << compare.err;
}

// With --long, a listing with details gives each match's type, size and time before its path.
TEST_F(FindInKeptListings, LongGivesTypeSizeAndTimeFromDetails) {
    MakeFolder(dir / "R");
    MakeFile(dir / "R/seven", "1234567");
    ASSERT_EQ(SaveInto(dir / "R", dir / "with", {"--details"}).status, 0);
    ASSERT_EQ(SaveInto(dir / "R", dir / "without").status, 0);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "R/seven").c_str(), &st), 0);
    char time[32];
    std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&st.st_mtime));
    const ProgramRun with = Find({"--long"}, "seven", {dir / "with"});
    EXPECT_TRUE(with.out.ends_with("\tf\t7\t" + std::string(time) + "\t" + dir / "R/seven\n"))
        << with.out;
    const ProgramRun without = Find({"--long"}, "seven", {dir / "without"});
    EXPECT_TRUE(without.out.ends_with("Z\t\t\t\t\t" + dir / "R/seven\n")) << without.out;
}

// A search takes no lock: a Save into the folder of the listing it reads goes ahead, and the
// search, finding the listing replaced, says so rather than pass off a mix of two.
TEST_F(FindInKeptListings, ASaveIntoTheListingWhileASearchReadsItGoesAhead) {
    WriteListing(dir / "big", "/a", 300000, 0);
    MakeFolder(dir / "R");
    MakeFile(dir / "R/x");
    int checks = 0;
    int saved = -1;
    const auto saveOnce = [&] {
        if (++checks == 20) saved = SaveInto(dir / "R", dir / "big").status;
    };
    EXPECT_THROW(catalogue::FindInListing(
                     dir / "big", catalogue::EntryMatcher({"file", false, false}), {false, false},
                     [](const catalogue::FoundEntry&) { return true; }, saveOnce),
                 catalogue::ListingChanged);
    EXPECT_EQ(saved, 0);
}

// A listing whose index is missing, stale, damaged anywhere or no regular file is searched by its
// list files: the same matches, and stderr says so once for the whole search.
TEST_F(FindInKeptListings, AMissingStaleOrDamagedIndexFallsBackToTheListFilesSayingSoOnce) {
    std::mt19937 random(7);
    MakeFolder(dir / "T");
    MakeOddTree(dir / "T", random);
    for (int i = 0; i < 1500; ++i) MakeFile(dir / ("T/file" + std::to_string(i) + "e"));
    ASSERT_EQ(SaveInto(dir / "T", dir / "L/one").status, 0);
    ASSERT_EQ(SaveInto(dir / "T", dir / "L/two").status, 0);
    ASSERT_EQ(SaveInto(dir / "T", dir / "other", {"--exclude", "file1*"}).status, 0);
    const std::string index = dir / "L/one/" + std::string(listing::kIndexName);
    const std::string whole = ReadBytes(index);
    const std::vector<std::string> patterns = {"e", "file12", "*9e", "REPORT"};
    std::map<std::string, std::string> expected;
    for (const std::string& pattern : patterns) {
        const ProgramRun run = Find({"--all", "-i"}, pattern, {dir / "L"});
        ASSERT_TRUE(run.err.empty()) << run.err;
        expected[pattern] = run.out;
    }
    const auto same = [&](const std::string& what, bool saysSo) {
        for (const std::string& pattern : patterns) {
            const ProgramRun run = Find({"--all", "-i"}, pattern, {dir / "L"});
            EXPECT_EQ(run.out, expected[pattern]) << what << ", '" << pattern << "'";
            const std::size_t said = std::count(run.err.begin(), run.err.end(), '\n');
            if (saysSo) {
                EXPECT_EQ(said, 1u) << what << ": " << run.err;
                EXPECT_TRUE(Holds(run.err, "its list files are searched instead")) << run.err;
            } else {
                EXPECT_LE(said, 1u) << what << ": " << run.err;
            }
        }
    };
    const std::string other = dir / "L/two/" + std::string(listing::kIndexName);
    ::unlink(index.c_str());
    ::unlink(other.c_str());
    same("both missing", true);
    MakeFile(index, ReadBytes(dir / "other/" + std::string(listing::kIndexName)));
    MakeFile(other, whole);
    same("one of other list files", true);
    MakeFile(index, whole.substr(0, whole.size() / 2));
    same("cut short", true);
    ASSERT_EQ(::unlink(index.c_str()), 0);
    ASSERT_EQ(::mkfifo(index.c_str(), 0644), 0);
    same("a fifo", true);
    ASSERT_EQ(::unlink(index.c_str()), 0);
    ASSERT_EQ(::symlink(other.c_str(), index.c_str()), 0);
    same("a link", true);
    ASSERT_EQ(::unlink(index.c_str()), 0);
    // A byte changed anywhere, the size kept: where a search reads it, it is found (the search
    // says the index is damaged, and the program searches the list files instead); a search that
    // does not read it finds what the list files hold.
    const auto search = [&](const std::string& pattern, bool useIndex) {
        std::vector<std::string> found;
        catalogue::FindInListing(dir / "L/one", catalogue::EntryMatcher({pattern, false, true}),
                                 {false, useIndex}, [&found](const catalogue::FoundEntry& entry) {
                                     found.emplace_back(entry.path);
                                     return true;
                                 });
        return found;
    };
    MakeFile(index, whole);
    std::map<std::string, std::vector<std::string>> streamed;
    for (const std::string& pattern : patterns) streamed[pattern] = search(pattern, false);
    int damagedFound = 0;
    for (std::size_t at = 0; at < whole.size(); at += 1 + random() % (whole.size() / 200)) {
        std::string damaged = whole;
        damaged[at] = static_cast<char>(damaged[at] ^ (1 << (random() % 8)));
        MakeFile(index, damaged);
        for (const std::string& pattern : patterns) {
            try {
                EXPECT_EQ(search(pattern, true), streamed[pattern])
                    << "byte " << at << " changed, '" << pattern << "'";
            } catch (const catalogue::IndexDamaged&) {
                ++damagedFound;
            }
        }
    }
    EXPECT_GT(damagedFound, 0);
    same("the last byte changed", false);
}

// A Save that replaces a list file while a search reads it is found at the end; read again, the
// listing answers whole. SIGTERM stops a search with 143, and what was printed is whole lines.
TEST_F(FindInKeptListings, ASaveReplacingTheListingIsFoundAndSignalsStopASearch) {
    WriteListing(dir / "big", "/a", 300000, 0);
    int checks = 0;
    const auto replaceOnce = [&] {
        if (++checks != 20) return;
        const std::string file = dir / "big/ListTex1.txt";
        ASSERT_EQ(std::system(("cp '" + file + "' '" + file + ".new' && mv '" + file + ".new' '" +
                               file + "'")
                                  .c_str()),
                  0);
    };
    const catalogue::EntryMatcher matcher({"file12", false, false});
    std::uint64_t told = 0;
    const auto count = [&told](const catalogue::FoundEntry&) { return ++told != 0; };
    EXPECT_THROW(catalogue::FindInListing(dir / "big", matcher, {false, false}, count, replaceOnce),
                 catalogue::ListingChanged);
    const std::uint64_t first = told;
    told = 0;
    EXPECT_EQ(catalogue::FindInListing(dir / "big", matcher, {false, false}, count), first);
    EXPECT_EQ(told, first);
    WriteListing(dir / "huge", "/b", 2000000, 0);
    const ProgramRun stopped = RunProgram({"--find", "file", dir / "huge"},
                                          {.sigtermOnceTrue = [](pid_t) { return true; }});
    EXPECT_EQ(stopped.status, 143) << stopped.err;
    EXPECT_TRUE(stopped.out.empty() || stopped.out.ends_with('\n'));
}

// Folders named `top` and their number, each with files of random names (of `shortest` to
// `shortest + spread - 1` of `letters`), added to `entries` (path, is a folder) in listing order.
struct RandomFolders {
    std::string top;
    int folders;
    int files;
};
void AddRandomNames(std::vector<std::pair<std::string, bool>>& entries, std::mt19937& random,
                    const RandomFolders& made, const std::string& letters, std::size_t shortest,
                    std::size_t spread) {
    for (int folder = 0; folder < made.folders; ++folder) {
        const std::string folderPath = made.top + std::to_string(folder);
        entries.emplace_back(folderPath, true);
        for (int file = 0; file < made.files; ++file) {
            std::string name;
            for (std::size_t i = shortest + random() % spread; i > 0; --i)
                name += letters[random() % letters.size()];
            entries.emplace_back(folderPath + "/" + name, false);
        }
    }
}

// An index of many blocks and more trigrams than its builder first makes room for, or than a search
// reads in one go: every search by it finds, in order, what a plain scan of the same paths finds,
// with and without case.
TEST(ListingIndex, ManyBlocksAndTrigramsFindWhatAScanFinds) {
    std::mt19937 random(8122026);
    std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ0123456789-_.\xC3\xA9";
    for (char c = '\xA0'; c != '\xB0'; ++c) letters += c;
    std::vector<std::pair<std::string, bool>> entries;  // path, is a folder
    catalogue::IndexWriter builder;
    AddRandomNames(entries, random, {"/top/f", 12, 1200}, letters, 4, 16);
    for (const auto& [path, isFolder] : entries) builder.Add(path, isFolder, isFolder ? 'd' : 'f');
    const std::string index = builder.Finish(entries.size(), 0, {});
    std::uint32_t trigrams = 0;
    std::memcpy(&trigrams, index.data() + 36, sizeof trigrams);
    ASSERT_GT(trigrams, 60000u) << "a trigram table of over a mebibyte";
    TempDir dir;
    MakeFile(dir / "index", index);
    const catalogue::IndexFile file(
        runtime::UniqueFd(::open((dir / "index").c_str(), O_RDONLY | O_CLOEXEC)),
        {index.size(), entries.size(), 0, {}});
    std::vector<std::string> patterns = {"ab", "f1", "/top/f11/", "zz9", "-_."};
    for (int i = 0; i < 40; ++i) {
        const std::string& path = entries[random() % entries.size()].first;
        const std::size_t at = random() % path.size();
        patterns.push_back(path.substr(at, 3 + random() % 5));
    }
    for (const std::string& pattern : patterns) {
        for (const bool ignoreCase : {false, true}) {
            const catalogue::EntryMatcher matcher({pattern, false, ignoreCase});
            std::vector<std::string> expected;
            std::set<std::size_t> blocksMatched;
            for (std::size_t entry = 0; entry < entries.size(); ++entry) {
                const auto& [path, isFolder] = entries[entry];
                if (!matcher.Matches(path)) continue;
                expected.push_back(path + (isFolder ? "/" : ""));
                blocksMatched.insert(entry / catalogue::kEntriesPerBlock);
            }
            std::vector<std::string> found;
            std::uint64_t decoded = 0;
            catalogue::SearchIndex(
                file, matcher,
                [&found](std::string_view path) {
                    found.emplace_back(path);
                    return true;
                },
                [] {}, &decoded);
            EXPECT_EQ(found, expected) << "'" << pattern << "'" << (ignoreCase ? " -i" : "");
            // Three plain bytes, either case: one posting list, and it alone says which blocks
            // are decoded, those that hold a match.
            const bool oneTrigram = pattern.size() == 3 && ignoreCase &&
                                    pattern.find_first_of("*?[\\") == std::string::npos;
            if (oneTrigram) {
                EXPECT_EQ(decoded, blocksMatched.size()) << "'" << pattern << "'";
            }
            EXPECT_GE(decoded, blocksMatched.size()) << "'" << pattern << "'";
        }
    }
}

// A bit flipped in any posting list is found by its checksum (the search says the index is
// damaged, and the caller goes on the list files), never a match lost or made up.
TEST(ListingIndex, ABitFlippedInAnyPostingListIsFoundNeverAMatchLost) {
    std::vector<std::string> entries;
    catalogue::IndexWriter builder;
    for (int file = 0; file < 1600; ++file) {
        entries.push_back("/r/" + std::to_string(file * 7919 % 10007) + "-report.txt");
        builder.Add(entries.back(), false, 'f');
    }
    const std::string index = builder.Finish(entries.size(), 0, {});
    std::uint32_t trigrams = 0;
    std::uint64_t trigramTable = 0;
    std::memcpy(&trigrams, index.data() + 36, sizeof trigrams);
    std::memcpy(&trigramTable, index.data() + 48, sizeof trigramTable);
    constexpr std::uint64_t kRowBytes = 20;
    const std::uint64_t listsAt = trigramTable + trigrams * kRowBytes + 8;
    std::uint64_t listsEnd = 0;
    std::memcpy(&listsEnd, index.data() + trigramTable + trigrams * kRowBytes, sizeof listsEnd);
    ASSERT_LT(listsAt, listsEnd);
    ASSERT_LE(listsEnd, index.size());
    TempDir dir;
    MakeFile(dir / "index", index);
    const int fd = ::open((dir / "index").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::vector<std::string> patterns = {"123", "99-rep", "*7-r*", "port"};
    std::map<std::string, std::vector<std::string>> expected;
    for (const std::string& pattern : patterns) {
        const catalogue::EntryMatcher matcher({pattern, false, false});
        for (const std::string& entry : entries) {
            if (matcher.Matches(entry)) expected[pattern].push_back(entry);
        }
        ASSERT_FALSE(expected[pattern].empty()) << pattern;
    }
    int damaged = 0;
    for (std::uint64_t at = listsAt; at < listsEnd; ++at) {
        const char flipped = static_cast<char>(index[at] ^ (1 << (at % 8)));
        ASSERT_EQ(::pwrite(fd, &flipped, 1, static_cast<off_t>(at)), 1);
        for (const std::string& pattern : patterns) {
            std::vector<std::string> found;
            try {
                catalogue::SearchIndex(catalogue::IndexFile(runtime::UniqueFd(::dup(fd)),
                                                            {index.size(), entries.size(), 0, {}}),
                                       catalogue::EntryMatcher({pattern, false, false}),
                                       [&found](std::string_view path) {
                                           found.emplace_back(path);
                                           return true;
                                       },
                                       {});
                EXPECT_EQ(found, expected[pattern]) << "byte " << at << ", '" << pattern << "'";
            } catch (const catalogue::IndexDamaged&) {
                ++damaged;
            }
        }
        ASSERT_EQ(::pwrite(fd, &index[at], 1, static_cast<off_t>(at)), 1);
    }
    EXPECT_GT(damaged, 0);
    ::close(fd);
}

// A builder that keeps its blocks, folder frames and posting lists in a scratch file, spilling the
// lists at every block, now and then, or never, writes the very index one that keeps everything in
// memory writes, folder stamps, links and folders cut short included; a scratch file that cannot
// be written is an error, never an index with a hole in it.
TEST(ListingIndex, KeptInAScratchFileTheIndexIsTheSameByteForByte) {
    std::mt19937 random(9122026);
    struct Entry {
        std::string path;
        bool isFolder;
        char kind;
        reading::FolderStamp stamp;
    };
    std::vector<Entry> entries;
    std::vector<std::uint64_t> cutShort;
    const std::string letters = "abcdefgh0123456789-._\xC3\xA9XYZ";
    for (int folder = 0; folder < 2600; ++folder) {
        const std::string folderPath =
            "/r/g" + std::to_string(folder % 7) + "/d" + std::to_string(folder);
        reading::FolderStamp stamp;
        stamp.known = folder % 5 != 0;
        stamp.device = 2049;
        stamp.inode = 1000 + static_cast<std::uint64_t>(folder);
        stamp.modified = stamp.changed = 1700000000000000000 + folder;
        stamp.readAt = stamp.modified + 5;
        entries.push_back({folderPath, true, folder % 97 == 0 ? 'l' : 'd', stamp});
        if (folder % 131 == 0) cutShort.push_back(static_cast<std::uint64_t>(folder));
        for (std::size_t file = random() % 9; file > 0; --file) {
            std::string name;
            for (std::size_t i = 3 + random() % 12; i > 0; --i)
                name += letters[random() % letters.size()];
            entries.push_back({folderPath + "/" + name, false, "fflo" [random() % 4], {}});
        }
    }
    const auto build = [&](int scratch, std::size_t held) {
        catalogue::IndexWriter builder;
        if (scratch >= 0) builder.KeepIn(scratch, held);
        for (const Entry& entry : entries) {
            builder.Add(entry.path, entry.isFolder, entry.kind, entry.stamp);
        }
        for (const std::uint64_t folder : cutShort) builder.CutShort(folder);
        std::string pieces;
        const std::uint64_t size = builder.Finish(
            entries.size(), 12345, {}, [&pieces](std::string_view piece) { pieces += piece; });
        EXPECT_EQ(size, pieces.size());
        return pieces;
    };
    const std::string inMemory = build(-1, 0);
    ASSERT_GT(inMemory.size(), 10000u);
    TempDir dir;
    for (const std::size_t held :
         {std::size_t{0}, std::size_t{777}, std::size_t{300000}, std::size_t{1} << 30}) {
        const int scratch = ::open(dir.Path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        ASSERT_GE(scratch, 0);
        EXPECT_TRUE(build(scratch, held) == inMemory) << "spilling past " << held << " bytes";
        ::close(scratch);
    }
    MakeFile(dir / "read-only", "");
    const int readOnly = ::open((dir / "read-only").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_THROW(build(readOnly, 0), runtime::RuntimeError);
    ::close(readOnly);
}

// Each trigram's posting list names exactly the blocks whose paths hold it, once each, ascending,
// told apart from the paths alone: through long runs of blocks that hold few trigrams (the same
// name in every folder), blocks that hold thousands (random names, either case, bytes above
// ASCII) and a path of tens of thousands, in memory and spilling to a scratch file.
TEST(ListingIndex, EachPostingListNamesExactlyTheBlocksWhosePathsHoldItsTrigram) {
    std::mt19937 random(10122026);
    std::vector<std::pair<std::string, bool>> entries;  // path, is a folder
    for (int folder = 0; folder < 340; ++folder) {
        const std::string folderPath = "/v/d" + std::to_string(folder);
        entries.emplace_back(folderPath, true);
        for (int file = 0; file < 480; ++file)
            entries.emplace_back(folderPath + "/same.txt", false);
    }
    AddRandomNames(entries, random, {"/w/R", 40, 800}, "abcXYZ0189-._ \xC3\xA9\xFF", 2, 14);
    // A path of more trigrams than the log holds.
    const std::string many = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ-_.,;=+#%@!~{}()[]";
    std::string deep = "/w/R39/";
    while (deep.size() < 70000) deep += many[random() % many.size()];
    entries.emplace_back(deep, false);
    // What every list should be: each (trigram, block) of the paths, once.
    std::vector<std::uint64_t> expected;
    for (std::size_t entry = 0; entry < entries.size(); ++entry) {
        const std::string& path = entries[entry].first;
        for (std::size_t at = 0; at + 3 <= path.size(); ++at) {
            expected.push_back(std::uint64_t{catalogue::TrigramAt(path, at)} << 32 |
                               entry / catalogue::kEntriesPerBlock);
        }
    }
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    ASSERT_GT(entries.size() / catalogue::kEntriesPerBlock, 300u);

    const auto postingsOf = [](const std::string& index) {
        std::vector<std::uint64_t> postings;
        const auto trigrams =
            catalogue::FixedAt<std::uint32_t>(index, catalogue::index_header::kTrigrams);
        const auto table =
            catalogue::FixedAt<std::uint64_t>(index, catalogue::index_header::kTrigramTable);
        for (std::uint32_t row = 0; row < trigrams; ++row) {
            const std::size_t rowAt = table + std::size_t{row} * catalogue::kTrigramRowBytes;
            const auto trigram = catalogue::FixedAt<std::uint32_t>(index, rowAt);
            std::size_t at = catalogue::FixedAt<std::uint64_t>(index, rowAt + 8);
            const auto end = catalogue::FixedAt<std::uint64_t>(
                index, rowAt + (row + 1 < trigrams ? catalogue::kTrigramRowBytes + 8
                                                   : catalogue::kTrigramRowBytes));
            for (std::uint64_t block = 0, first = 1; at < end; first = 0) {
                const std::uint64_t step = catalogue::VarintAt(index, at);
                if (first == 0 && step == 0) ADD_FAILURE() << "a block twice in " << trigram;
                block += step;
                postings.push_back(std::uint64_t{trigram} << 32 | block);
            }
        }
        return postings;
    };
    const auto build = [&](int scratch) {
        catalogue::IndexWriter builder;
        if (scratch >= 0) builder.KeepIn(scratch, 300000);
        for (const auto& [path, isFolder] : entries) {
            builder.Add(path, isFolder, isFolder ? 'd' : 'f');
        }
        return builder.Finish(entries.size(), 0, {});
    };
    const std::string inMemory = build(-1);
    const std::vector<std::uint64_t> postings = postingsOf(inMemory);
    ASSERT_EQ(postings.size(), expected.size());
    EXPECT_TRUE(postings == expected);
    TempDir dir;
    const int scratch = ::open(dir.Path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(scratch, 0);
    EXPECT_TRUE(build(scratch) == inMemory);
    ::close(scratch);
}

// A re-listing's builder follows the earlier index: it takes each block that holds what the
// earlier block in its place holds, and copies the earlier trigram table and posting lists when
// every block was taken. Whatever it takes, it writes the very index a builder without it writes:
// the same entries, one renamed in the middle, one more, one fewer, fewer blocks, in memory or
// spilling to a scratch file, and with the earlier index damaged in a posting list, a trigram row
// or a block after it was opened.
TEST(ListingIndex, FollowingAnEarlierIndexWritesTheVeryIndexBuiltAnew) {
    struct Entry {
        std::string path;
        bool isFolder;
        reading::FolderStamp stamp;
    };
    std::vector<Entry> entries;
    for (int folder = 0; folder < 1500; ++folder) {
        const std::string folderPath =
            "/r/g" + std::to_string(folder % 7) + "/d" + std::to_string(folder);
        reading::FolderStamp stamp;
        stamp.known = true;
        stamp.inode = 1000 + static_cast<std::uint64_t>(folder);
        stamp.modified = stamp.changed = stamp.readAt = 1700000000000000000 + folder;
        entries.push_back({folderPath, true, stamp});
        for (int file = folder % 9; file > 0; --file) {
            entries.push_back(
                {folderPath + "/n" + std::to_string(folder * 31 % 997 + file) + ".t", false, {}});
        }
    }
    const std::uint64_t blocks =
        (entries.size() + catalogue::kEntriesPerBlock - 1) / catalogue::kEntriesPerBlock;
    ASSERT_GT(blocks, 12u);
    const auto build = [](const std::vector<Entry>& these, const catalogue::IndexFile* earlier,
                          int scratch, std::size_t held, std::uint64_t* taken) {
        catalogue::IndexWriter builder;
        if (scratch >= 0) builder.KeepIn(scratch, held);
        if (earlier != nullptr) builder.Follow(*earlier);
        for (const Entry& entry : these) {
            builder.Add(entry.path, entry.isFolder, entry.isFolder ? 'd' : 'f', entry.stamp);
        }
        std::string index = builder.Finish(these.size(), 12345, {});
        if (taken != nullptr) *taken = builder.BlocksTaken();
        return index;
    };
    const std::string earlierBytes = build(entries, nullptr, -1, 0, nullptr);
    TempDir dir;
    MakeFile(dir / "earlier", earlierBytes);
    const int fd = ::open((dir / "earlier").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const auto opened = [&] {
        return catalogue::IndexFile(runtime::UniqueFd(::dup(fd)),
                                    {earlierBytes.size(), entries.size(), 12345, {}});
    };
    const catalogue::IndexFile earlier = opened();
    const auto followed = [&](const std::vector<Entry>& these, std::uint64_t expectTaken,
                              const std::string& what) {
        const std::string anew = build(these, nullptr, -1, 0, nullptr);
        std::uint64_t taken = 0;
        EXPECT_TRUE(build(these, &earlier, -1, 0, &taken) == anew) << what;
        EXPECT_EQ(taken, expectTaken) << what;
        for (const std::size_t held : {std::size_t{0}, std::size_t{777}, std::size_t{1} << 30}) {
            const int scratch = ::open(dir.Path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
            ASSERT_GE(scratch, 0);
            EXPECT_TRUE(build(these, &earlier, scratch, held, &taken) == anew)
                << what << ", spilling past " << held << " bytes";
            EXPECT_EQ(taken, expectTaken) << what << ", spilling past " << held << " bytes";
            ::close(scratch);
        }
    };
    followed(entries, blocks, "the same entries");
    std::vector<Entry> changed = entries;
    changed[5000].path += "x";
    followed(changed, 5000 / catalogue::kEntriesPerBlock, "one renamed");
    changed = entries;
    changed.push_back({entries.back().path + "-more", false, {}});
    followed(changed, blocks - 1, "one more");
    changed = entries;
    changed.pop_back();
    followed(changed, blocks - 1, "one fewer");
    changed.resize(10 * catalogue::kEntriesPerBlock);
    followed(changed, 10, "fewer blocks");

    // Damaged after it was opened and checked: the damage is never copied, and the blocks before
    // a damaged one are still taken.
    std::uint32_t trigrams = 0;
    std::uint64_t blockTable = 0;
    std::uint64_t trigramTable = 0;
    std::memcpy(&trigrams, earlierBytes.data() + 36, sizeof trigrams);
    std::memcpy(&blockTable, earlierBytes.data() + 40, sizeof blockTable);
    std::memcpy(&trigramTable, earlierBytes.data() + 48, sizeof trigramTable);
    std::uint64_t block3 = 0;
    std::memcpy(&block3, earlierBytes.data() + blockTable + 3 * 12, sizeof block3);
    const std::uint64_t listsAt = trigramTable + std::uint64_t{trigrams} * 20 + 8;
    for (const auto& [at, taken] : {std::pair{listsAt + 5, blocks},
                                    {trigramTable + 25, blocks},
                                    {block3 + 10, std::uint64_t{3}}}) {
        const char flipped = static_cast<char>(earlierBytes[at] ^ 0x10);
        ASSERT_EQ(::pwrite(fd, &flipped, 1, static_cast<off_t>(at)), 1);
        followed(entries, taken, "a byte flipped at " + std::to_string(at));
        ASSERT_EQ(::pwrite(fd, &earlierBytes[at], 1, static_cast<off_t>(at)), 1);
    }
    ::close(fd);
}

}  // namespace
}  // namespace quorvale::test
