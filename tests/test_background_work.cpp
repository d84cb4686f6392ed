// The work done on threads of their own, tested apart from the window so that the thread
// sanitizer runs it: a Save that reuses an earlier listing through the reader threads, the index
// a Save builds beside its walk, and the find window's search (its hand-over, its stop, and the
// descriptors it lets go of).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include <gtest/gtest.h>

#include "catalogue/background_search.h"
#include "catalogue/earlier_listing.h"
#include "listing/list_file_name.h"
#include "reading/posix_file_system.h"
#include "runtime/thread_start.h"
#include "save/index_of_lines.h"
#include "support/bytes_output.h"
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

using NotedLine = std::pair<std::string, listing::LineDetails>;

// The lines of a listing of 3,000 folders as the list files get them, with what the walk noted:
// links, folders stamped and reused, names of other kinds and names holding a line break's sign,
// and denial lines between them.
std::vector<NotedLine> NotedLines() {
    std::vector<NotedLine> lines{{"/r", {}}};
    for (std::uint64_t folder = 0; folder < 3000; ++folder) {
        listing::LineDetails details;
        details.kind = listing::LineDetails::Kind::kFolder;
        details.entryKind = folder % 97 == 0 ? 'l' : 'd';
        details.stamp.known = folder % 5 != 0;
        details.stamp.reused = folder % 3 == 0;
        details.stamp.inode = 1000 + folder;
        details.stamp.readAt = 1700000000000000000 + static_cast<std::int64_t>(folder);
        lines.emplace_back("\t/r/g" + std::to_string(folder % 7) + "/d" + std::to_string(folder),
                           details);
        if (folder % 211 == 0)
            lines.emplace_back("Cannot open folder: Permission denied", listing::LineDetails{});
        for (std::uint64_t file = 0; file < folder % 11; ++file) {
            details = {};
            details.kind = listing::LineDetails::Kind::kFile;
            details.entryKind = "fflo?"[file % 5];
            lines.emplace_back("\t\tthe name of a file, " + std::to_string(file) +
                                   (file == 7 ? "\xE2\x90\x8A" : ".txt"),
                               details);
        }
    }
    return lines;
}

// Hands `lines` to `index`, tells it two folders cut short, and returns the index it writes for a
// listing of those lines. Throws what the index throws.
std::string IndexOf(save::IndexOfLines& index, const std::vector<NotedLine>& lines) {
    for (const auto& [line, details] : lines) index.Line(line, details);
    index.CutShort(7);
    index.CutShort(2999);
    catalogue::ListingRecord record;
    record.lines = lines.size();
    record.bytes = 4242;
    record.indexSave = catalogue::SaveIdentity{};
    BytesOutput out;
    const std::uint64_t size = index.Finish(record, out);
    EXPECT_EQ(size, out.bytes.size());
    return out.bytes;
}

// The index of `lines` built on the walk's own thread, no other to be had.
std::string IndexInTurn(const std::vector<NotedLine>& lines, runtime::UniqueFd scratch = {}) {
    runtime::RefuseThreadStarts([](std::uint64_t) { return true; });
    save::IndexOfLines index;
    index.KeepIn(std::move(scratch));
    std::string bytes = IndexOf(index, lines);
    runtime::RefuseThreadStarts({});
    return bytes;
}

// The index a Save builds on a thread of its own beside the walk is, byte for byte, the one the
// walk's own thread builds when no thread can be had, in memory or in a scratch file, with the
// same count of folders reused and read; a builder that fails (its scratch file cannot be
// written) fails the Save, whether the walk is still handing lines over or finishing, and one
// dropped before it finished lets go of everything.
TEST(BackgroundWork, TheIndexBuiltBesideTheWalkIsTheOneBuiltInTurnAndItsFailureIsTheSaves) {
    const auto lines = NotedLines();
    std::uint64_t reused = 0;
    std::uint64_t read = 0;
    std::size_t bytes = 0;
    for (const auto& [line, details] : lines) {
        if (details.stamp.known) ++(details.stamp.reused ? reused : read);
        bytes += line.size();
    }
    ASSERT_GT(bytes, save::IndexOfLines::kBatchBytes * save::IndexOfLines::kBatchesInFlight)
        << "more lines than the builder may be handed at once";
    const auto beside = [&](runtime::UniqueFd scratch) {
        save::IndexOfLines index;
        index.KeepIn(std::move(scratch));
        std::string built = IndexOf(index, lines);
        EXPECT_EQ(index.FoldersReused(), reused);
        EXPECT_EQ(index.FoldersRead(), read);
        return built;
    };
    TempDir dir;
    const auto scratchFile = [&dir] {
        return runtime::UniqueFd(::open(dir.Path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    };
    std::uint64_t starts = 0;
    runtime::RefuseThreadStarts([&starts](std::uint64_t) { return ++starts, false; });
    const std::string besideInMemory = beside({});
    const std::string besideInAFile = beside(scratchFile());
    runtime::RefuseThreadStarts({});
    const std::string inTurn = IndexInTurn(lines);
    EXPECT_EQ(starts, 2u) << "one builder thread a Save";
    EXPECT_TRUE(besideInMemory == inTurn);
    EXPECT_TRUE(besideInAFile == inTurn);
    EXPECT_TRUE(IndexInTurn(lines, scratchFile()) == inTurn);

    MakeFile(dir / "read-only", "");
    for (const bool threads : {true, false}) {
        runtime::RefuseThreadStarts([threads](std::uint64_t) { return !threads; });
        save::IndexOfLines index;
        index.KeepIn(runtime::UniqueFd(::open((dir / "read-only").c_str(), O_RDONLY | O_CLOEXEC)));
        std::string failure;
        try {
            IndexOf(index, lines);
        } catch (const runtime::RuntimeError& error) {
            failure = error.what();
        }
        runtime::RefuseThreadStarts({});
        EXPECT_NE(failure, "") << (threads ? "beside the walk" : "in turn");
    }
    {
        save::IndexOfLines dropped;
        for (std::size_t i = 0; i < lines.size() / 2; ++i)
            dropped.Line(lines[i].first, lines[i].second);
    }
}

// A walk ahead of the index's builder (held back here until the walk has waited three times)
// waits for room letting the window catch up, and the index is the one built in turn; a wait
// that throws (the program ends) passes through the line being handed over, and the builder is
// stopped and joined.
TEST(BackgroundWork, AWalkAheadOfTheIndexWaitsForRoomAndKeepsTheWindowAnswering) {
    const auto lines = NotedLines();
    const std::string inTurn = IndexInTurn(lines);
    for (const bool throws : {false, true}) {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
        int waits = 0;
        const auto holdBack = [&] {
            std::unique_lock lock(mutex);
            opened.wait(lock, [&open] { return open; });
        };
        const auto wait = [&] {
            {
                const std::lock_guard lock(mutex);
                open = ++waits >= 3;
            }
            opened.notify_all();
            if (throws && open) {
                throw runtime::RuntimeError(runtime::InvalidProcedureCall, "the program ends");
            }
        };
        save::IndexOfLines index(wait, holdBack);
        std::string failure;
        std::string built;
        try {
            built = IndexOf(index, lines);
        } catch (const runtime::RuntimeError& error) {
            failure = error.what();
        }
        EXPECT_GE(waits, 3);
        EXPECT_EQ(failure, throws ? "the program ends" : "");
        if (!throws) {
            EXPECT_TRUE(built == inTurn);
        }
    }
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
