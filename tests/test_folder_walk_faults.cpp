// The walk's error policy, step by step, on an in-memory file system that fails chosen calls:
// permission denied leaves a "Permission Denied" line and the walk resumes after the failed step;
// any other error ends that folder's listing and the walk goes on with the next folder.
#include <gtest/gtest.h>

#include "support/fake_file_system.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

const std::string kDenialLine(listing::kDenialLine);
using runtime::PermissionDenied;
using runtime::RuntimeError;
using Lines = std::vector<std::string>;

constexpr int kOther = runtime::PathFileAccessError;

class WalkFaults : public ::testing::Test {
  protected:
    WalkFaults() : core(buffer, fs, runtime) {
        // R holds a and b and the subfolders s (with c) and t (with d).
        fs.Add("/R", {"a", "b"});
        fs.Add("/R/s", {"c"});
        fs.Add("/R/t", {"d"});
        core.SetCountDisplay([this](int count) { counts.push_back(count); });
    }

    // The lines the walk of /R adds after the `skip` lines already in the buffer.
    Lines Walk(int skip = 0) {
        core.ListFolder("/R");
        Lines lines;
        for (std::int16_t i = static_cast<std::int16_t>(skip); i < buffer.ListCount(); ++i) {
            lines.emplace_back(buffer.Line(i));
        }
        return lines;
    }

    // Fills the buffer so that it has room for `room` more lines before it is full.
    int FillLeavingRoom(int room) {
        const int lines = listing::ListingBuffer::kCapacity - room;
        for (int i = 0; i < lines; ++i) buffer.AddItem("x");
        return lines;
    }

    FakeFileSystem fs;
    TempDir programFolder;
    TestRuntime runtime{programFolder.Path()};
    listing::ListingBuffer buffer;
    listing::ListingCore core;
    std::vector<int> counts;
};

TEST_F(WalkFaults, UndisturbedWalkIsDepthFirstWithFilesBeforeSubfolders) {
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb", "\t/R/s", "\t\tc", "\t/R/t", "\t\td"}));
    // The count display is told the count after every file line, and only then.
    EXPECT_EQ(counts, (std::vector<int>{2, 3, 5, 7}));
}

// Each step of a folder's listing, failed once for lack of permission (a denial line, and the walk
// resumes after the step) and once for any other reason (that folder's listing ends there).
TEST_F(WalkFaults, EachStepFailedByDenialOrOtherwise) {
    struct Case {
        const char* step;
        Call call;
        const char* path;
        int error;
        Lines walked;
    };
    const Case cases[] = {
        {"ObtainingTheFolder", Call::Open, "/R/s", PermissionDenied,
         Lines{"\t/R", "\t\ta", "\t\tb", kDenialLine, "\t/R/t", "\t\td"}},
        {"ObtainingTheFolder", Call::Open, "/R/s", kOther,
         Lines{"\t/R", "\t\ta", "\t\tb", "\t/R/t", "\t\td"}},
        {"AppendingTheFolderLine", Call::Path, "/R/s", PermissionDenied,
         Lines{"\t/R", "\t\ta", "\t\tb", kDenialLine, "\t\tc", "\t/R/t", "\t\td"}},
        {"AppendingTheFolderLine", Call::Path, "/R/s", kOther,
         Lines{"\t/R", "\t\ta", "\t\tb", "\t/R/t", "\t\td"}},
        {"StartingTheFileEnumeration", Call::Files, "/R", PermissionDenied,
         Lines{"\t/R", kDenialLine}},
        {"StartingTheFileEnumeration", Call::Files, "/R", kOther, Lines{"\t/R"}},
        {"AppendingAFileLine", Call::FileName, "/R/s", PermissionDenied,
         Lines{"\t/R", "\t\ta", "\t\tb", "\t/R/s", kDenialLine, "\t/R/t", "\t\td"}},
        {"AppendingAFileLine", Call::FileName, "/R/s", kOther,
         Lines{"\t/R", "\t\ta", "\t\tb", "\t/R/s", "\t/R/t", "\t\td"}},
        {"AdvancingToTheNextFile", Call::NextFile, "/R", PermissionDenied,
         Lines{"\t/R", "\t\ta", kDenialLine, "\t/R/s", "\t\tc", "\t/R/t", "\t\td"}},
        {"AdvancingToTheNextFile", Call::NextFile, "/R", kOther, Lines{"\t/R", "\t\ta"}},
        {"StartingTheSubfolderEnumeration", Call::SubFolders, "/R", PermissionDenied,
         Lines{"\t/R", "\t\ta", "\t\tb", kDenialLine}},
        {"StartingTheSubfolderEnumeration", Call::SubFolders, "/R", kOther,
         Lines{"\t/R", "\t\ta", "\t\tb"}},
        {"ReadingASubfolder", Call::SubFolderName, "/R", PermissionDenied,
         Lines{"\t/R", "\t\ta", "\t\tb", kDenialLine, kDenialLine}},
        {"ReadingASubfolder", Call::SubFolderName, "/R", kOther, Lines{"\t/R", "\t\ta", "\t\tb"}},
        {"AdvancingToTheNextSubfolder", Call::NextSubFolder, "/R", PermissionDenied,
         Lines{"\t/R", "\t\ta", "\t\tb", "\t/R/s", "\t\tc", kDenialLine}},
        {"AdvancingToTheNextSubfolder", Call::NextSubFolder, "/R", kOther,
         Lines{"\t/R", "\t\ta", "\t\tb", "\t/R/s", "\t\tc"}},
    };
    for (const Case& c : cases) {
        buffer.Clear();
        fs.Fail(c.call, c.path, c.error);
        EXPECT_EQ(Walk(), c.walked) << c.step << (c.error == PermissionDenied ? " denied" : "");
        fs.Fail(c.call, c.path, 0);
    }
}

TEST_F(WalkFaults, MissingStartingFolderListsNothing) {
    core.ListFolder("/nowhere");
    core.ListFolder("");
    EXPECT_EQ(buffer.ListCount(), 0);
}

TEST_F(WalkFaults, FullBufferEndsEachFolderAtItsFirstLine) {
    // Past the threshold nothing flushes; once full, every append fails like any other step.
    const int skip = FillLeavingRoom(2);
    EXPECT_EQ(Walk(skip), (Lines{"\t/R", "\t\ta"}));
    EXPECT_EQ(buffer.ListCount(), listing::ListingBuffer::kCapacity);
}

TEST_F(WalkFaults, FailedSaveDuringTheWalkEndsTheWholeWalk) {
    for (int i = 0; i < listing::kFlushThreshold - 2; ++i) buffer.AddItem("x");
    runtime.failOpen = runtime::DiskFull;
    try {
        core.ListFolder("/R");
        FAIL() << "the failed save must reach the caller";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), runtime::DiskFull);
    }
    // Nothing was lost and nothing was listed after the failure.
    EXPECT_EQ(buffer.ListCount(), listing::kFlushThreshold);
    EXPECT_EQ(buffer.Line(listing::kFlushThreshold - 1), "\t\ta");
    EXPECT_EQ(core.ListFileNumber(), 1);
    EXPECT_EQ(runtime.openOutputs, 0);

    // A denied save is no different: it is not taken for a denial inside the tree.
    buffer.Clear();
    for (int i = 0; i < listing::kFlushThreshold - 2; ++i) buffer.AddItem("x");
    runtime.failOpen = PermissionDenied;
    EXPECT_THROW(core.ListFolder("/R"), RuntimeError);
    EXPECT_EQ(buffer.ListCount(), listing::kFlushThreshold);
}

TEST_F(WalkFaults, TheYield) {
    int yields = 0;
    core.SetYield([&] {
        if (++yields == 2) throw RuntimeError(PermissionDenied, "injected");
    });
    EXPECT_EQ(Walk(),
              (Lines{"\t/R", "\t\ta", kDenialLine, "\t\tb", "\t/R/s", "\t\tc", "\t/R/t", "\t\td"}));
    EXPECT_EQ(yields, 7);  // once after every folder line and every file line

    buffer.Clear();
    yields = 0;
    core.SetYield([&] {
        if (++yields == 2) throw RuntimeError(kOther, "injected");
    });
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta"}));
}

TEST_F(WalkFaults, FailedDenialLineCountsAgainstTheParentsStep) {
    // s is denied and the buffer is full, so its denial line cannot be appended: the parent stops
    // visiting subfolders, and t is never opened.
    fs.Fail(Call::Open, "/R/s", PermissionDenied);
    const int skip = FillLeavingRoom(3);
    EXPECT_EQ(Walk(skip), (Lines{"\t/R", "\t\ta", "\t\tb"}));
    EXPECT_EQ(fs.opened, (std::vector<std::string>{"/R", "/R/s"}));
}

TEST_F(WalkFaults, FailedDenialLineAtTheTopReachesTheCaller) {
    fs.Fail(Call::Open, "/R", PermissionDenied);
    FillLeavingRoom(0);
    try {
        core.ListFolder("/R");
        FAIL() << "the error must reach the caller";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), runtime::Overflow);
    }
    // The core is ready for the next walk.
    buffer.Clear();
    fs.Fail(Call::Open, "/R", 0);
    EXPECT_EQ(Walk().size(), 7u);
}

TEST_F(WalkFaults, NestedWalkIsRefused) {
    bool refused = false;
    core.SetYield([&] {
        try {
            core.ListFolder("/R/s");
        } catch (const RuntimeError& e) {
            refused = e.Number() == runtime::InvalidProcedureCall;
        }
    });
    Walk();
    EXPECT_TRUE(refused);
}

}  // namespace
}  // namespace quorvale::test
