// Reusing an unchanged listing (--reuse): after random changes of every kind a Save that reuses the
// last listing writes what a full Save of the same tree writes, byte for byte; a folder changed
// within a second of its reading is read again; and every reason to refuse a listing reads every
// folder, said once on stderr.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "catalogue/earlier_listing.h"
#include "catalogue/index_file.h"
#include "listing/list_file_name.h"
#include "support/program_run.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

// Every list and details file of the listing in `folder`, in order, with their names.
std::string ListingBytes(const std::string& folder) {
    std::string bytes;
    for (int number = 1;; ++number) {
        const std::string list = folder + "/" + listing::ListFileName(number);
        if (::access(list.c_str(), F_OK) != 0) break;
        bytes += listing::ListFileName(number) + ":\n" + ReadBytes(list);
        const std::string details = folder + "/" + listing::DetailsFileName(number);
        if (::access(details.c_str(), F_OK) == 0) bytes += "details:\n" + ReadBytes(details);
    }
    return bytes;
}

// The record but for its times, its index's size and the reuse it names: what a Save that reuses
// must write as a full one does.
std::string RecordWithoutTimes(const std::string& folder) {
    std::string text = ReadBytes(folder + "/" + std::string(listing::kRecordName));
    text = text.substr(0, text.find("\"index\""));
    // When it ran, and the drive's free space then, differ from one Save to the next.
    text = std::regex_replace(text, std::regex("\"available\": [0-9]+"), "");
    return std::regex_replace(text, std::regex("\"(started|ended)\": \"[^\"]*\""), "");
}

// The index in `folder` but for what differs from one Save to the next (the identity that ties it
// to its record, when each folder was read, and where the folder frames that hold those times lie):
// its header's counts, its blocks, trigram table and posting lists byte for byte, its folders field
// by field, and the folders cut short.
std::string IndexWithoutReadingTimes(const std::string& folder) {
    const std::string bytes = ReadBytes(folder + "/" + std::string(listing::kIndexName));
    if (bytes.size() < catalogue::kIndexHeaderBytes) return "no index";
    catalogue::IndexOfListing listing;
    listing.size = bytes.size();
    listing.lines = catalogue::FixedAt<std::uint64_t>(bytes, catalogue::index_header::kLines);
    listing.listBytes = catalogue::FixedAt<std::uint64_t>(bytes, catalogue::index_header::kBytes);
    std::memcpy(listing.save.bytes.data(), bytes.data() + catalogue::kIndexSaveIdentityAt,
                listing.save.bytes.size());
    const int fd =
        ::open((folder + "/" + std::string(listing::kIndexName)).c_str(), O_RDONLY | O_CLOEXEC);
    const catalogue::IndexFile index{runtime::UniqueFd(fd), listing};
    const catalogue::IndexHeader& header = index.Header();
    std::ostringstream out;
    out << header.entries << " entries, " << header.blocks << " blocks, " << header.trigrams
        << " trigrams, " << header.folders << " folders\n";
    const std::uint64_t listsEnd = catalogue::FixedAt<std::uint64_t>(
        bytes, header.trigramTable + std::uint64_t{header.trigrams} * catalogue::kTrigramRowBytes);
    out << std::string_view(bytes).substr(catalogue::kIndexHeaderBytes,
                                          listsEnd - catalogue::kIndexHeaderBytes)
        << "\n";
    for (const catalogue::IndexedFolder& row : index.Folders()) {
        out << row.entry << ' ' << row.files << ' ' << row.parent << ' ' << row.kind << ' '
            << row.cutShort << ' ' << row.name << ' ' << row.stamp.known << ' ' << row.stamp.device
            << ' ' << row.stamp.inode << ' ' << row.stamp.modified << ' ' << row.stamp.changed
            << '\n';
    }
    return out.str();
}

// How many folders the Save that wrote the record in `folder` reused; -1 when it names none.
long FoldersReused(const std::string& folder) {
    const std::string text = ReadBytes(folder + "/" + std::string(listing::kRecordName));
    std::smatch match;
    if (!std::regex_search(text, match, std::regex("\"foldersReused\": ([0-9]+)"))) return -1;
    return std::stol(match[1]);
}

std::vector<std::string> EntriesOf(const std::string& folder, bool folders) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::lstat((folder + "/" + name).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode) == folders) names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// The folders of a tree (its root first), never through a link or into another drive.
std::vector<std::string> FoldersOf(const std::string& root) {
    std::vector<std::string> folders{root};
    for (std::size_t i = 0; i < folders.size(); ++i) {
        for (const std::string& name : EntriesOf(folders[i], true)) {
            folders.push_back(folders[i] + "/" + name);
        }
    }
    return folders;
}

// A random tree under `root`, with a link to a file that will become a folder (see the changes).
void MakeTree(const std::string& root, std::mt19937& random) {
    std::vector<std::string> folders{root};
    ::mkdir(root.c_str(), 0755);
    for (int i = 0; i < 60; ++i) {
        const std::string parent = folders[random() % folders.size()];
        const std::string folder = parent + "/d" + std::to_string(i);
        ::mkdir(folder.c_str(), 0755);
        folders.push_back(folder);
        for (int f = 0; f < static_cast<int>(random() % 6); ++f) {
            MakeFile(folder + "/f" + std::to_string(f) + (f % 2 == 0 ? ".txt" : "\xFF"));
        }
    }
    MakeFile(root + "/target");
    ::mkdir((root + "/links").c_str(), 0755);  // its folder stays as it is when the target changes
    EXPECT_EQ(::symlink("../target", (root + "/links/link").c_str()), 0);
}

class ReuseUnchangedFolders : public ::testing::Test {
  protected:
    ProgramRun Save(const std::string& listFolder, std::vector<std::string> more = {}) {
        std::vector<std::string> args{"--save", tree, "--list-folder", listFolder};
        args.insert(args.end(), more.begin(), more.end());
        return RunProgram(args, runOptions);
    }
    // A full Save and a Save reusing `earlier`, which must write the same.
    void SaveBothAndCompare(const std::string& full, const std::string& reused,
                            const std::string& earlier, std::vector<std::string> more = {}) {
        const ProgramRun fullRun = Save(full, more);
        more.insert(more.end(), {"--reuse", earlier});
        const ProgramRun reuseRun = Save(reused, more);
        EXPECT_EQ(reuseRun.status, fullRun.status) << reuseRun.err;
        EXPECT_EQ(reuseRun.out, fullRun.out);
        EXPECT_EQ(ListingBytes(reused), ListingBytes(full));
        EXPECT_EQ(RecordWithoutTimes(reused), RecordWithoutTimes(full));
        EXPECT_TRUE(IndexWithoutReadingTimes(reused) == IndexWithoutReadingTimes(full))
            << "the index of the Save that reused " << earlier;
    }
    // Waits until every folder of the tree was last changed more than the granularity ago, so
    // that a Save from now on may reuse them.
    void WaitUntilTheTreeIsOld() {
        std::int64_t newest = 0;
        for (const std::string& folder : FoldersOf(tree)) {
            struct stat st {};
            ::lstat(folder.c_str(), &st);
            newest = std::max<std::int64_t>(
                {newest, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
                 st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec});
        }
        ASSERT_TRUE(WaitUntil([newest] {
            const auto now = std::chrono::system_clock::now().time_since_epoch();
            return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() >
                   newest + catalogue::kFolderTimeGranularity + 10'000'000;
        }));
    }

    TempDir dir;
    const std::string tree = dir / "tree";
    RunOptions runOptions;  // of every Save
};

// Each kind of change a tree goes through between two Saves; false when the tree offers nothing
// to make it on.
struct Change {
    std::string what;
    std::function<bool(const std::string& tree, std::mt19937& random, int round)> make;
};

std::string Pick(const std::vector<std::string>& from, std::mt19937& random) {
    return from[random() % from.size()];
}

std::vector<std::string> FilesOf(const std::string& tree) {
    std::vector<std::string> files;
    for (const std::string& folder : FoldersOf(tree)) {
        for (const std::string& name : EntriesOf(folder, false))
            files.push_back(folder + "/" + name);
    }
    return files;
}

const std::vector<Change>& Changes() {
    static const std::vector<Change> changes = {
        {"a file added",
         [](const std::string& tree, std::mt19937& random, int round) {
             MakeFile(Pick(FoldersOf(tree), random) + "/added" + std::to_string(round));
             return true;
         }},
        {"a file removed",
         [](const std::string& tree, std::mt19937& random, int) {
             const std::vector<std::string> files = FilesOf(tree);
             return !files.empty() && ::unlink(Pick(files, random).c_str()) == 0;
         }},
        {"a file renamed",
         [](const std::string& tree, std::mt19937& random, int round) {
             const std::vector<std::string> files = FilesOf(tree);
             if (files.empty()) return false;
             const std::string file = Pick(files, random);
             return ::rename(file.c_str(), (file + "-" + std::to_string(round)).c_str()) == 0;
         }},
        {"a folder added",
         [](const std::string& tree, std::mt19937& random, int round) {
             const std::string folder =
                 Pick(FoldersOf(tree), random) + "/made" + std::to_string(round);
             ::mkdir(folder.c_str(), 0755);
             MakeFile(folder + "/inside");
             return true;
         }},
        {"a folder removed",
         [](const std::string& tree, std::mt19937& random, int) {
             const std::vector<std::string> folders = FoldersOf(tree);
             if (folders.size() < 2) return false;
             RemoveTree(folders[1 + random() % (folders.size() - 1)]);
             return true;
         }},
        {"a file replaced by a folder of the same name",
         [](const std::string& tree, std::mt19937& random, int) {
             const std::vector<std::string> files = FilesOf(tree);
             if (files.empty()) return false;
             const std::string file = Pick(files, random);
             ::unlink(file.c_str());
             ::mkdir(file.c_str(), 0755);
             MakeFile(file + "/was a file");
             return true;
         }},
        {"a folder moved elsewhere and another made in its place",
         [](const std::string& tree, std::mt19937& random, int round) {
             const std::vector<std::string> folders = FoldersOf(tree);
             if (folders.size() < 2) return false;
             const std::string moved = folders[1 + random() % (folders.size() - 1)];
             const std::string away = tree + "/away" + std::to_string(round);
             if (::rename(moved.c_str(), away.c_str()) != 0) return false;
             ::mkdir(moved.c_str(), 0755);
             MakeFile(moved + "/new in its place");
             return true;
         }},
        {"a link's target turned from a file into a folder",
         [](const std::string& tree, std::mt19937&, int) {
             const std::string target = tree + "/target";
             struct stat st {};
             if (::lstat(target.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
             ::unlink(target.c_str());
             return ::mkdir(target.c_str(), 0755) == 0;
         }},
        {"a file added to a folder the last Save has just read",
         [](const std::string& tree, std::mt19937&, int round) {
             MakeFile(tree + "/just" + std::to_string(round));
             return true;
         }},
    };
    return changes;
}

// Random changes of every kind, round after round: each Save reusing the last one's listing
// writes what a full Save writes, and reuses the folders that stayed as they were.
TEST_F(ReuseUnchangedFolders, AfterRandomChangesASaveThatReusesWritesWhatAFullSaveWrites) {
    std::mt19937 random(20261208);
    MakeTree(tree, random);
    WaitUntilTheTreeIsOld();
    ASSERT_EQ(Save(dir / "reuse0").status, 0);
    std::unique_ptr<TmpfsMount> mount;
    const std::vector<Change>& changes = Changes();
    const int rounds = static_cast<int>(changes.size()) + 2;
    for (int round = 1; round <= rounds; ++round) {
        std::vector<std::string> made;
        // Every kind once in order, then two random ones a round.
        for (int i = 0; i < (round <= static_cast<int>(changes.size()) ? 1 : 2); ++i) {
            const Change& change = round <= static_cast<int>(changes.size())
                                       ? changes[round - 1]
                                       : changes[random() % changes.size()];
            if (change.make(tree, random, round)) made.push_back(change.what);
        }
        if (round == rounds && ::geteuid() == 0) {
            // Another drive mounted over a folder the earlier listing read.
            const std::string over = FoldersOf(tree).back();
            mount = std::make_unique<TmpfsMount>(over, "1m");
            if (mount->WhyNot().empty()) {
                MakeFile(over + "/on the mounted drive");
                made.push_back("a drive mounted over a folder");
            }
        }
        SCOPED_TRACE("round " + std::to_string(round) + ": " +
                     (made.empty() ? std::string("nothing") : made.front()));
        const std::string earlier = dir / ("reuse" + std::to_string(round - 1));
        const std::string reused = dir / ("reuse" + std::to_string(round));
        SaveBothAndCompare(dir / ("full" + std::to_string(round)), reused, earlier);
        EXPECT_GT(FoldersReused(reused), 0) << "nothing was reused";
    }
}

// Under a small open-file limit a Save that reuses writes what a full Save writes, and reuses every
// folder: a folder looked at and not opened holds no handle, and one opened for what lies below it
// is charged its handle as any other (a deep chain with a side folder and a link at every level).
TEST_F(ReuseUnchangedFolders, UnderASmallOpenFileLimitASaveThatReusesWritesWhatAFullSaveWrites) {
    std::mt19937 random(9122026);
    MakeTree(tree, random);
    std::string deep = tree;
    for (int level = 0; level < 80; ++level) {
        deep += "/level" + std::to_string(level);
        MakeFolder(deep);
        MakeFolder(deep + "/side");
        MakeFile(deep + "/side/file");
        ASSERT_EQ(::symlink("side", (deep + "/to side").c_str()), 0);
    }
    WaitUntilTheTreeIsOld();
    ASSERT_EQ(Save(dir / "earlier").status, 0);
    const auto folders = static_cast<std::int64_t>(FoldersOf(tree).size());
    for (const rlim_t files : {rlim_t{24}, rlim_t{40}}) {
        SCOPED_TRACE(std::to_string(files) + " open files at most");
        runOptions.openFiles = files;
        const std::string name = std::to_string(files);
        SaveBothAndCompare(dir / ("full" + name), dir / ("reused" + name), dir / "earlier");
        EXPECT_EQ(FoldersReused(dir / ("reused" + name)), folders);
    }
}

// With details the files are still described by their own status: a size that changed without
// its folder changing is what a full Save gives.
TEST_F(ReuseUnchangedFolders, WithDetailsEachFileIsDescribedAsItIsNow) {
    std::mt19937 random(7);
    MakeTree(tree, random);
    WaitUntilTheTreeIsOld();
    ASSERT_EQ(Save(dir / "before", {"--details"}).status, 0);
    const std::vector<std::string> files = FilesOf(tree);
    ASSERT_FALSE(files.empty());
    MakeFile(files.front(), "grown without its folder changing");
    SaveBothAndCompare(dir / "full", dir / "reused", dir / "before", {"--details"});
    EXPECT_GT(FoldersReused(dir / "reused"), 0);
    EXPECT_TRUE(Holds(ReadBytes(dir / "reused/ListTex1.tsv"), "\t33\t"));
}

// A folder made unreadable since the earlier listing is denied as a full Save denies it (the
// program runs as another user, whom the folder's owner shuts out).
TEST_F(ReuseUnchangedFolders, AFolderMadeUnreadableIsDeniedAsAFullSaveDeniesItAndReadAgainLater) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    std::mt19937 random(13);
    MakeTree(tree, random);
    WaitUntilTheTreeIsOld();
    const RunOptions asNobody{.asNobody = true};
    const auto save = [&](const std::string& listFolder, std::vector<std::string> more) {
        MakeFolder(listFolder);
        ::chmod(listFolder.c_str(), 0777);  // the other user writes there
        std::vector<std::string> args{"--save", tree, "--list-folder", listFolder};
        args.insert(args.end(), more.begin(), more.end());
        return RunProgram(args, asNobody);
    };
    ASSERT_EQ(save(dir / "before", {}).status, 0);
    const std::string shut = FoldersOf(tree).back();
    ASSERT_EQ(::chmod(shut.c_str(), 0700), 0);
    const ProgramRun full = save(dir / "full", {});
    const ProgramRun reused = save(dir / "reused", {"--reuse", dir / "before"});
    EXPECT_EQ(full.status, 1) << full.err;
    EXPECT_EQ(reused.status, 1) << reused.err;
    EXPECT_EQ(ListingBytes(dir / "reused"), ListingBytes(dir / "full"));
    EXPECT_EQ(RecordWithoutTimes(dir / "reused"), RecordWithoutTimes(dir / "full"));
    EXPECT_GT(FoldersReused(dir / "reused"), 0);
    // A listing with a denied folder is reused in its turn: what was denied is read again (and
    // the folder that holds it), the rest is taken.
    ASSERT_EQ(::chmod(shut.c_str(), 0755), 0);
    const ProgramRun again = save(dir / "again", {"--reuse", dir / "full"});
    const ProgramRun whole = save(dir / "whole", {});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(ListingBytes(dir / "again"), ListingBytes(dir / "whole"));
    EXPECT_GT(FoldersReused(dir / "again"), 0);
}

// Under a limit of processes the program meets at once (no reader thread, no thread for the list
// files or the index to be had), a Save and a Save that reuses write what a full Save writes, with
// the walk's own thread: exit 0, never an abort. Root itself is not held to the limit, so the
// program runs as a user no process is charged to.
TEST_F(ReuseUnchangedFolders, UnderATinyProcessLimitSavesAndReusesWriteWhatAFullSaveWrites) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    uid_t unused = 4000000 + static_cast<uid_t>(::getpid() % 100000);
    while (::getpwuid(unused) != nullptr) ++unused;
    std::mt19937 random(17);
    MakeTree(tree, random);
    WaitUntilTheTreeIsOld();
    const auto save = [&](const std::string& listFolder, rlim_t processes,
                          std::vector<std::string> more) {
        MakeFolder(listFolder);
        ::chmod(listFolder.c_str(), 0777);  // the other user writes there
        std::vector<std::string> args{"--save", tree, "--list-folder", listFolder};
        args.insert(args.end(), more.begin(), more.end());
        // The leak checker of a sanitizer build needs a thread of its own at the end: none to be
        // had under the limit, it is left out there (the rest of the sanitizer still runs).
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string noLeakCheck =
            std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
        RunOptions options{.environment = {{"ASAN_OPTIONS", noLeakCheck}},
                           .asUnusedUser = unused,
                           .processes = processes};
        return RunProgram(args, options);
    };
    ASSERT_EQ(save(dir / "before", 0, {}).status, 0);
    ASSERT_EQ(save(dir / "full", 0, {}).status, 0);
    for (const rlim_t processes : {1, 2, 5}) {
        const std::string n = std::to_string(processes);
        const ProgramRun saved = save(dir / ("saved" + n), processes, {});
        EXPECT_EQ(saved.status, 0) << processes << ": " << saved.err;
        EXPECT_EQ(ListingBytes(dir / ("saved" + n)), ListingBytes(dir / "full")) << processes;
        const ProgramRun reused =
            save(dir / ("reused" + n), processes, {"--reuse", dir / "before"});
        EXPECT_EQ(reused.status, 0) << processes << ": " << reused.err;
        EXPECT_EQ(ListingBytes(dir / ("reused" + n)), ListingBytes(dir / "full")) << processes;
        EXPECT_GT(FoldersReused(dir / ("reused" + n)), 0) << processes;
    }
}

// A Save that reuses a folder of many names, with details, holds no more memory than a full Save
// of it: the folder's entries are taken from the earlier listing a block at a time, never all its
// blocks decoded at once beside them.
TEST_F(ReuseUnchangedFolders, AHugeFolderWithDetailsTakesNoMoreMemoryThanAFullSave) {
    MakeFolder(tree);
    const std::string huge = tree + "/huge";
    MakeFolder(huge);
    const std::string command =
        "cd '" + huge +
        "' && seq 100000 199999 | sed 's/^/a-file-name-of-some-forty-bytes-/' "
        "| xargs touch";
    ASSERT_EQ(std::system(command.c_str()), 0);
    WaitUntilTheTreeIsOld();
    ASSERT_EQ(Save(dir / "before", {"--details"}).status, 0);
    const ProgramRun full = Save(dir / "full", {"--details"});
    const ProgramRun reused = Save(dir / "reused", {"--details", "--reuse", dir / "before"});
    ASSERT_EQ(reused.status, 0) << reused.err;
    EXPECT_EQ(ListingBytes(dir / "reused"), ListingBytes(dir / "full"));
    EXPECT_GT(FoldersReused(dir / "reused"), 0);
    // A sanitizer holds freed blocks back for a while, more of them the more blocks are made and
    // let go of: there, only what is written is compared.
    if (kSanitizerSlackKiB == 0) {
        EXPECT_LE(reused.peakKiB, full.peakKiB + 3 * 1024) << "full " << full.peakKiB << " KiB";
    }
}

// A listing whose folders changed within a second of its reading them is not trusted for them:
// a change in the same tick of the file system's clock would leave their times as they were.
TEST_F(ReuseUnchangedFolders, AFolderChangedWithinASecondOfItsReadingIsReadAgain) {
    std::mt19937 random(11);
    MakeTree(tree, random);
    MakeFile(tree + "/changed just before the Save");
    ASSERT_EQ(Save(dir / "at once").status, 0);
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::int64_t savedBy = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    struct stat st {};
    ASSERT_EQ(::stat(tree.c_str(), &st), 0);
    const std::int64_t changed = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    // The Save read the folder before it ended: within the granularity of its change, unless the
    // machine was too slow to tell.
    if (savedBy < changed + catalogue::kFolderTimeGranularity) {
        const catalogue::EarlierListing fresh(dir / "at once");
        EXPECT_FALSE(fresh.Entries(st, [](std::string_view, unsigned char) {}));
    }
    WaitUntilTheTreeIsOld();
    ASSERT_EQ(Save(dir / "later").status, 0);
    const catalogue::EarlierListing later(dir / "later");
    std::vector<std::string> told;
    EXPECT_TRUE(later.Entries(
        st, [&told](std::string_view name, unsigned char) { told.emplace_back(name); }));
    std::vector<std::string> expected = EntriesOf(tree, false);
    for (const std::string& folder : EntriesOf(tree, true)) expected.push_back(folder);
    EXPECT_EQ(told, expected);
}

// Each reason to refuse a listing: the Save reads every folder, says why once on stderr, and
// writes what a full Save writes.
TEST_F(ReuseUnchangedFolders, EachRefusalReadsEveryFolderAndSaysWhyOnce) {
    std::mt19937 random(3);
    MakeTree(tree, random);
    MakeTree(dir / "other tree", random);
    WaitUntilTheTreeIsOld();
    const auto editRecord = [](const std::string& folder, const std::string& from,
                               const std::string& to) {
        const std::string path = folder + "/" + std::string(listing::kRecordName);
        const std::string text = ReadBytes(path);
        const std::string edited = std::regex_replace(text, std::regex(from), to);
        ASSERT_NE(edited, text) << from;
        MakeFile(path, edited);
    };
    const auto damageIndex = [](const std::string& folder, std::int64_t fromEnd) {
        const std::string path = folder + "/" + std::string(listing::kIndexName);
        std::string bytes = ReadBytes(path);
        bytes[bytes.size() - static_cast<std::size_t>(fromEnd)] ^= 0x5A;
        MakeFile(path, bytes);
    };
    struct Refusal {
        std::string why;                                  // what stderr says
        std::vector<std::string> earlierOptions;          // how the earlier listing was made
        std::function<void(const std::string&)> spoil{};  // what becomes of it then
        std::vector<std::string> options{};               // how the new one is made
    };
    const std::string otherTree = dir / "other tree";
    const Refusal refusals[] = {
        {"it was made with other options", {"--details"}},
        {"it was made with other options", {"--exclude", "*.txt"}},
        {"it was made with other options", {}, {}, {"--one-file-system"}},
        // As many patterns, not the same ones: an entry the new ones keep would be left out.
        {"it was made with other options", {"--exclude", "*.txt"}, {}, {"--exclude", "*.tmp"}},
        {"made by another user",
         {},
         [&](const std::string& f) { editRecord(f, "\"id\": [0-9]+", "\"id\": 4321"); }},
        {"its index is missing",
         {},
         [](const std::string& f) {
             ::unlink((f + "/" + std::string(listing::kIndexName)).c_str());
         }},
        {"its index is damaged", {}, [&](const std::string& f) { damageIndex(f, 1); }},
        {"its index is damaged", {}, [&](const std::string& f) { damageIndex(f, 60); }},
        // In an entry block, which a reuse checks before it begins, whether it reads it or not.
        {"its index is damaged",
         {},
         [&](const std::string& f) {
             const std::string path = f + "/" + std::string(listing::kIndexName);
             damageIndex(f, static_cast<std::int64_t>(ReadBytes(path).size()) - 130);
         }},
        {"No such file or directory", {}, [](const std::string& f) { RemoveTree(f); }},
    };
    int n = 0;
    for (const Refusal& refusal : refusals) {
        const std::string earlier = dir / ("earlier" + std::to_string(++n));
        SCOPED_TRACE(refusal.why + " (case " + std::to_string(n) + ")");
        ASSERT_EQ(Save(earlier, refusal.earlierOptions).status, 0);
        if (refusal.spoil) refusal.spoil(earlier);
        std::vector<std::string> options = refusal.options;
        const ProgramRun full = Save(dir / ("full" + std::to_string(n)), options);
        options.insert(options.end(), {"--reuse", earlier});
        const std::string reused = dir / ("reused" + std::to_string(n));
        const ProgramRun run = Save(reused, options);
        EXPECT_EQ(run.status, full.status);
        EXPECT_TRUE(Holds(run.err, "quorvale: cannot reuse \"" + earlier + "\": ") &&
                    Holds(run.err, refusal.why) && Holds(run.err, "reading every folder"))
            << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(FoldersReused(reused), -1);
        EXPECT_EQ(ListingBytes(reused), ListingBytes(dir / ("full" + std::to_string(n))));
    }
    // A listing of another folder.
    ASSERT_EQ(RunProgram({"--save", otherTree, "--list-folder", dir / "of the other"}).status, 0);
    const ProgramRun other = Save(dir / "other reused", {"--reuse", dir / "of the other"});
    EXPECT_EQ(other.status, 0);
    EXPECT_TRUE(Holds(other.err, "it is a listing of \"" + otherTree + "\"")) << other.err;
    EXPECT_EQ(FoldersReused(dir / "other reused"), -1);
}

// The list folder being written cannot be the one reused: refused before anything is written.
TEST_F(ReuseUnchangedFolders, ReusingTheListFolderBeingWrittenIsRefused) {
    std::mt19937 random(5);
    MakeTree(tree, random);
    ASSERT_EQ(Save(dir / "kept").status, 0);
    const std::string before =
        ListingBytes(dir / "kept") + ReadBytes(dir / "kept/quorvale-listing.json");
    ASSERT_EQ(::symlink("kept", (dir / "same").c_str()), 0);
    for (const std::string& named : {dir / "kept", dir / "same", dir / "kept/."}) {
        const ProgramRun run = Save(dir / "kept", {"--reuse", named});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(Holds(run.err, "it is the list folder this Save writes")) << run.err;
    }
    EXPECT_EQ(ListingBytes(dir / "kept") + ReadBytes(dir / "kept/quorvale-listing.json"), before);
}

// Whose folder times are trusted, and what --reuse-trust does for the others.
TEST(ReuseRefusal, FolderTimesAreTrustedOnLocalFileSystemsOrWhenToldTo) {
    catalogue::ListingRecord record;
    record.root = "/srv/share";
    record.user = catalogue::ListingRecord::User{1000, {100, 1000}};
    record.indexName = "quorvale-index.bin";
    catalogue::ReuseRequest request{"/srv/share/", {}, {1000, {100, 1000}}, "ext4", false};
    EXPECT_EQ(catalogue::WhyNotReused(record, request), "");
    for (const char* type : {"ext4", "xfs", "btrfs", "tmpfs"}) {
        request.fileSystemType = type;
        EXPECT_EQ(catalogue::WhyNotReused(record, request), "") << type;
    }
    for (const char* type : {"nfs4", "cifs", "fuse.sshfs", "fuseblk", "vfat", ""}) {
        request.fileSystemType = type;
        request.trustFileSystem = false;
        EXPECT_TRUE(Holds(catalogue::WhyNotReused(record, request), "--reuse-trust")) << type;
        request.trustFileSystem = true;
        EXPECT_EQ(catalogue::WhyNotReused(record, request), "") << type;
    }
    request.user.groups = {1000};
    EXPECT_TRUE(Holds(catalogue::WhyNotReused(record, request), "other groups"));
    request.user.groups = {100, 1000};
    record.root = "srv/share";  // relative: which folder it was is not known
    EXPECT_TRUE(Holds(catalogue::WhyNotReused(record, request), "is a listing of"));
}

}  // namespace
}  // namespace quorvale::test
