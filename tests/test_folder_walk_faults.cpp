// The walk's error policy, step by step, on an in-memory file system that fails chosen calls:
// permission denied leaves a "Permission Denied" line and the walk resumes after the failed step;
// any other error ends that folder's listing and the walk goes on with the next folder.
#include <gtest/gtest.h>

#include "support/fake_file_system.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

using listing::kDenialLine;
using runtime::PermissionDenied;
using runtime::RuntimeError;
using Lines = std::vector<std::string>;

constexpr int kOther = runtime::PathFileAccessError;

// A buffer that lets a test fail its operations: the hook sees each operation's name and line.
class FaultyBuffer final : public listing::ListingBuffer {
  public:
    // Sees each operation, the one before it, and the line or caption it carries.
    std::function<void(std::string_view op, std::string_view previous, std::string_view text)> hook;
    std::string lastOp;

    void AddItem(std::string_view line) override {
        Before("AddItem", line);
        ListingBuffer::AddItem(line);
    }
    std::int16_t ListCount() const override {
        const_cast<FaultyBuffer*>(this)->Before("ListCount", "");
        return ListingBuffer::ListCount();
    }
    void SetCountCaption(std::string_view caption) override {
        Before("SetCountCaption", caption);
        ListingBuffer::SetCountCaption(caption);
    }

  private:
    void Before(std::string_view op, std::string_view text) {
        const std::string previous = lastOp;
        lastOp = op;
        if (hook) hook(op, previous, text);
    }
};

class WalkFaults : public ::testing::Test {
  protected:
    WalkFaults() : core(buffer, fs, runtime) {
        // R holds a and b and the subfolders s (with c) and t (with d).
        fs.Add("/R", {"a", "b"});
        fs.Add("/R/s", {"c"});
        fs.Add("/R/t", {"d"});
        core.ListFileNumber = 1;
    }

    Lines Walk() {
        core.ListFolder("/R");
        Lines lines;
        for (std::int16_t i = 0; i < buffer.ListCount(); ++i) lines.push_back(buffer.Line(i));
        return lines;
    }

    // Makes the buffer fail `op` with `number` when the hook's text equals `text`.
    void FailBuffer(std::string_view op, std::string text, int number) {
        buffer.hook = [op, text, number](std::string_view seen, std::string_view,
                                         std::string_view seenText) {
            if (seen == op && seenText == text) throw RuntimeError(number, "injected");
        };
    }

    FakeFileSystem fs;
    TempDir programFolder;
    TestRuntime runtime{programFolder.Path()};
    FaultyBuffer buffer;
    listing::ListingCore core;
};

TEST_F(WalkFaults, UndisturbedWalkIsDepthFirstWithFilesBeforeSubfolders) {
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb", "\t/R/s", "\t\tc", "\t/R/t", "\t\td"}));
    EXPECT_EQ(buffer.CountCaption(), "7");
}

TEST_F(WalkFaults, ObtainingTheFolder) {
    fs.Fail(Call::Open, "/R/s", PermissionDenied);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb", kDenialLine, "\t/R/t", "\t\td"}));
    buffer.Clear();
    fs.Fail(Call::Open, "/R/s", kOther);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb", "\t/R/t", "\t\td"}));
}

TEST_F(WalkFaults, MissingStartingFolderListsNothing) {
    core.ListFolder("/nowhere");
    core.ListFolder("");
    EXPECT_EQ(buffer.ListCount(), 0);
}

TEST_F(WalkFaults, AppendingTheFolderLine) {
    fs.Fail(Call::Path, "/R/s", PermissionDenied);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb", kDenialLine, "\t\tc", "\t/R/t", "\t\td"}));
    buffer.Clear();
    fs.Fail(Call::Path, "/R/s", kOther);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb", "\t/R/t", "\t\td"}));
    buffer.Clear();
    fs.Fail(Call::Path, "/R/s", 0);
    FailBuffer("AddItem", "\t/R/t", PermissionDenied);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb", "\t/R/s", "\t\tc", kDenialLine, "\t\td"}));
}

TEST_F(WalkFaults, StartingTheFileEnumeration) {
    fs.Fail(Call::Files, "/R", PermissionDenied);
    EXPECT_EQ(Walk(), (Lines{"\t/R", kDenialLine}));
    buffer.Clear();
    fs.Fail(Call::Files, "/R", kOther);
    EXPECT_EQ(Walk(), (Lines{"\t/R"}));
}

TEST_F(WalkFaults, AppendingAFileLine) {
    fs.Fail(Call::FileName, "/R/s", PermissionDenied);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb", "\t/R/s", kDenialLine, "\t/R/t", "\t\td"}));
    buffer.Clear();
    fs.Fail(Call::FileName, "/R/s", 0);
    FailBuffer("AddItem", "\t\ta", PermissionDenied);
    EXPECT_EQ(Walk(), (Lines{"\t/R", kDenialLine, "\t\tb", "\t/R/s", "\t\tc", "\t/R/t", "\t\td"}));
    buffer.Clear();
    buffer.hook = nullptr;
    fs.Fail(Call::FileName, "/R/s", kOther);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb", "\t/R/s", "\t/R/t", "\t\td"}));
}

TEST_F(WalkFaults, ShowingTheCount) {
    FailBuffer("SetCountCaption", "3", PermissionDenied);
    EXPECT_EQ(Walk(),
              (Lines{"\t/R", "\t\ta", "\t\tb", kDenialLine, "\t/R/s", "\t\tc", "\t/R/t", "\t\td"}));
    buffer.Clear();
    FailBuffer("SetCountCaption", "2", kOther);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta"}));
}

TEST_F(WalkFaults, FailedFlushTestSavesWhateverTheCount) {
    // The count read right after the caption is set is the flush test.
    int failures = 0;
    buffer.hook = [&](std::string_view op, std::string_view previous, std::string_view) {
        if (op == "ListCount" && previous == "SetCountCaption" && failures++ < 1) {
            throw RuntimeError(PermissionDenied, "injected");
        }
    };
    EXPECT_EQ(Walk(), (Lines{"\t\tb", "\t/R/s", "\t\tc", "\t/R/t", "\t\td"}));
    EXPECT_EQ(SplitListFile(ReadBytes(programFolder / "ListTex1.txt")),
              (Lines{"\t/R", "\t\ta", kDenialLine}));
    EXPECT_EQ(core.ListFileNumber, 2);

    buffer.Clear();
    buffer.hook = [](std::string_view op, std::string_view previous, std::string_view) {
        if (op == "ListCount" && previous == "SetCountCaption") {
            throw RuntimeError(kOther, "injected");
        }
    };
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta"}));
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
    EXPECT_EQ(core.ListFileNumber, 1);
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

TEST_F(WalkFaults, AdvancingToTheNextFile) {
    fs.Fail(Call::NextFile, "/R", PermissionDenied);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", kDenialLine, "\t/R/s", "\t\tc", "\t/R/t", "\t\td"}));
    buffer.Clear();
    fs.Fail(Call::NextFile, "/R", kOther);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta"}));
}

TEST_F(WalkFaults, StartingTheSubfolderEnumeration) {
    fs.Fail(Call::SubFolders, "/R", PermissionDenied);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb", kDenialLine}));
    buffer.Clear();
    fs.Fail(Call::SubFolders, "/R", kOther);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb"}));
}

TEST_F(WalkFaults, ReadingASubfolder) {
    fs.Fail(Call::SubFolderName, "/R", PermissionDenied);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb", kDenialLine, kDenialLine}));
    buffer.Clear();
    fs.Fail(Call::SubFolderName, "/R", kOther);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb"}));
}

TEST_F(WalkFaults, AdvancingToTheNextSubfolder) {
    fs.Fail(Call::NextSubFolder, "/R", PermissionDenied);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb", "\t/R/s", "\t\tc", kDenialLine}));
    buffer.Clear();
    fs.Fail(Call::NextSubFolder, "/R", kOther);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb", "\t/R/s", "\t\tc"}));
}

TEST_F(WalkFaults, FailedDenialLineCountsAgainstTheParentsStep) {
    // s is denied and its denial line cannot be appended: the parent stops visiting subfolders.
    fs.Fail(Call::Open, "/R/s", PermissionDenied);
    FailBuffer("AddItem", kDenialLine, kOther);
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb"}));

    // When that failure is itself a denial, the parent's denial line takes its place and the
    // parent goes on with its next subfolder.
    buffer.Clear();
    int denials = 0;
    buffer.hook = [&](std::string_view op, std::string_view, std::string_view text) {
        if (op == "AddItem" && text == kDenialLine && denials++ == 0) {
            throw RuntimeError(PermissionDenied, "injected");
        }
    };
    EXPECT_EQ(Walk(), (Lines{"\t/R", "\t\ta", "\t\tb", kDenialLine, "\t/R/t", "\t\td"}));
}

TEST_F(WalkFaults, FailedDenialLineAtTheTopReachesTheCaller) {
    fs.Fail(Call::Open, "/R", PermissionDenied);
    FailBuffer("AddItem", kDenialLine, runtime::Overflow);
    try {
        core.ListFolder("/R");
        FAIL() << "the error must reach the caller";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), runtime::Overflow);
    }
    // The core is ready for the next walk.
    buffer.hook = nullptr;
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
