// The work done on threads of their own, tested apart from the window so that the thread
// sanitizer runs it: a Save that reuses an earlier listing through the reader threads, and the
// find window's search (its hand-over, its stop, and the descriptors it lets go of).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>

#include <gtest/gtest.h>

#include "catalogue/background_search.h"
#include "catalogue/earlier_listing.h"
#include "listing/list_file_name.h"
#include "reading/posix_file_system.h"
#include "support/odd_tree.h"
#include "support/synthetic_listing.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

// Makes `folders` folders of `files` files each below `root`.
void MakeWideTree(const std::string& root, int folders, int files) {
    MakeFolder(root);
    for (int folder = 0; folder < folders; ++folder) {
        const std::string path = root + "/d" + std::to_string(folder);
        MakeFolder(path);
        MakeFolder(path + "/inner");
        for (int file = 0; file < files; ++file) MakeFile(path + "/file" + std::to_string(file));
    }
}

// Waits until the folders below `root` are older than a reading of them could miss.
void WaitUntilOlderThanTheirTick(const std::string& root) {
    std::int64_t newest = 0;
    std::vector<std::string> lines;
    Walk(root, lines);
    for (std::string folder : lines) {
        if (!folder.ends_with('/')) continue;
        struct stat st {};
        ::lstat(folder.c_str(), &st);
        newest =
            std::max<std::int64_t>({newest, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
                                    st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec});
    }
    ASSERT_TRUE(WaitUntil([newest] {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() >
               newest + catalogue::kFolderTimeGranularity + 10'000'000;
    }));
}

// A Save that reuses an earlier listing, its folders handed to the reader threads (a slow medium),
// writes the lines a full Save writes, and takes the unchanged folders from the earlier listing.
TEST(BackgroundWork, AReuseThroughTheReaderThreadsWritesWhatAFullSaveWrites) {
    TempDir dir;
    const std::string tree = dir / "T";
    MakeWideTree(tree, 40, 30);
    WaitUntilOlderThanTheirTick(tree);
    reading::PosixFileSystem first;
    Lister earlierSave(first);
    earlierSave.Save(tree);
    MakeFile(tree + "/d7/new file");

    reading::ReadTuning slow;
    slow.handover = reading::ReadTuning::Handover::kAlwaysReader;
    slow.openDelay = std::chrono::microseconds(100);
    reading::PosixFileSystem full(0, slow);
    Lister fullSave(full);
    fullSave.Save(tree);

    const catalogue::EarlierListing earlier(earlierSave.programFolder.Path());
    reading::PosixFileSystem reusing(0, slow);
    reusing.SetEarlierReading(&earlier);
    Lister reusedSave(reusing);
    reusedSave.Save(tree);
    reusing.SetEarlierReading(nullptr);
    EXPECT_EQ(ListFileLines(reusedSave.programFolder.Path(), 1),
              ListFileLines(fullSave.programFolder.Path(), 1));
    const std::string record =
        ReadBytes(reusedSave.programFolder.Path() + "/" + std::string(listing::kRecordName));
    EXPECT_EQ(record.find("\"foldersReused\": 0,"), std::string::npos) << record;
}

// The window's search hands over each listing's matches whole (the first few kept, all counted),
// names a listing it cannot read, and ends; stopped, it ends at once; searched again and again,
// listings that cannot be read hold no descriptor.
TEST(BackgroundWork, ASearchHandsOverStopsAndLetsGoOfEveryDescriptor) {
    TempDir dir;
    const std::string tree = dir / "T";
    MakeWideTree(tree, 20, 50);
    reading::PosixFileSystem fs;
    Lister lister(fs);
    lister.Save(tree);
    const std::string catalogue = dir / "catalogue";
    MakeFolder(catalogue);
    ASSERT_EQ(::rename(lister.programFolder.Path().c_str(), (catalogue + "/good").c_str()), 0);
    MakeFolder(lister.programFolder.Path());  // for the TempDir to remove
    for (int i = 0; i < 5; ++i) {
        const std::string bad = catalogue + "/bad" + std::to_string(i);
        MakeFolder(bad);
        MakeFile(bad + "/" + std::string(listing::kRecordName), "{");
    }
    const auto searchWhole = [&](const std::string& pattern, std::size_t mostKept) {
        catalogue::BackgroundSearch search({catalogue}, {pattern, false, false}, mostKept);
        std::vector<catalogue::BackgroundSearch::Handed> handed;
        EXPECT_TRUE(WaitUntil([&] {
            for (auto& one : search.Take()) handed.push_back(std::move(one));
            return !handed.empty() && handed.back().finished;
        }));
        return handed;
    };
    const std::size_t before = OpenDescriptors();
    for (int round = 0; round < 20; ++round) {
        const auto handed = searchWhole("file4", 7);
        std::uint64_t found = 0;
        std::size_t kept = 0;
        std::size_t problems = 0;
        for (const auto& one : handed) {
            found += one.found;
            kept += one.matches.size();
            problems += one.problem.empty() ? 0 : 1;
            for (const auto& match : one.matches) {
                EXPECT_TRUE(match.path.find("/file4") != std::string::npos) << match.path;
                EXPECT_EQ(match.record->root, tree);
                EXPECT_FALSE(match.beforeASave);
            }
        }
        EXPECT_EQ(found, 20u * 11);  // file4, file40 .. file49 in each folder
        EXPECT_EQ(kept, 7u);
        EXPECT_EQ(problems, 5u);
    }
    EXPECT_EQ(OpenDescriptors(), before);

    // Stopped at once, it hands over its end and lets go of everything.
    WriteListing(catalogue + "/huge", "/h", 400000, 0);
    for (int round = 0; round < 5; ++round) {
        catalogue::BackgroundSearch search({catalogue}, {"file", false, false}, 10);
        search.Stop();
        EXPECT_TRUE(WaitUntil([&] { return search.Ended(); }));
        const auto handed = search.Take();
        ASSERT_FALSE(handed.empty());
        EXPECT_TRUE(handed.back().finished);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
}  // namespace quorvale::test
