// The list files: their names and bytes, the 16-bit number, and where the buffer is flushed.
#include <gtest/gtest.h>

#include "support/fake_file_system.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

const std::string kDenialLine(listing::kDenialLine);
using listing::kFlushThreshold;
using runtime::RuntimeError;
using Lines = std::vector<std::string>;

class ListFiles : public ::testing::Test {
  protected:
    ListFiles() : lister(fs) {}
    void Fill(int lines) {
        for (int i = 0; i < lines; ++i) lister.buffer.AddItem("line " + std::to_string(i));
    }
    Lines FileLines(int number) { return SplitListFile(ReadBytes(lister.ListFile(number))); }

    FakeFileSystem fs;
    Lister lister;
};

TEST_F(ListFiles, WritesEveryLineWithCrLfAndItsOwnBytes) {
    for (const char* line : {"", "\t/x y", "\t\tn\xFF\xFE.txt", "\t\tno-extension"}) {
        lister.buffer.AddItem(line);
    }
    lister.core.SaveList();
    EXPECT_EQ(ReadBytes(lister.programFolder / "ListTex1.txt"),
              "\r\n\t/x y\r\n\t\tn\xFF\xFE.txt\r\n\t\tno-extension\r\n");
    EXPECT_EQ(lister.buffer.ListCount(), 0);
    EXPECT_EQ(lister.core.ListFileNumber(), 2);

    // An empty buffer gives an empty file.
    lister.core.SaveList();
    EXPECT_EQ(ReadBytes(lister.ListFile(2)), "");
    EXPECT_EQ(lister.core.ListFileNumber(), 3);
    EXPECT_EQ(lister.runtime.opened, (Lines{lister.programFolder / "ListTex1.txt",
                                            lister.programFolder / "ListTex2.txt"}));
}

TEST_F(ListFiles, LineBreaksInsideALineCannotForgeLines) {
    lister.buffer.AddItem("\t\tevil\r\n\t\tforged\rcr\nlf");
    lister.core.SaveList();
    EXPECT_EQ(FileLines(1), (Lines{"\t\tevil\xE2\x90\x8D\xE2\x90\x8A\t\tforged\xE2\x90\x8D"
                                   "cr\xE2\x90\x8Alf"}));
}

TEST_F(ListFiles, ReplacesAListFileOfAnEarlierRun) {
    MakeFile(lister.ListFile(1), "an earlier run's much longer listing\r\n\r\n\r\n");
    lister.buffer.AddItem("new");
    lister.core.SaveList();
    EXPECT_EQ(ReadBytes(lister.ListFile(1)), "new\r\n");
}

TEST_F(ListFiles, NumberThatCannotAdvanceIsRefusedBeforeTheFileIsOpened) {
    lister.core.SetListFileNumber(32766);
    lister.buffer.AddItem("a");
    lister.core.SaveList();
    EXPECT_EQ(ReadBytes(lister.ListFile(32766)), "a\r\n");
    EXPECT_EQ(lister.core.ListFileNumber(), 32767);

    MakeFile(lister.ListFile(32767), "kept");
    lister.buffer.AddItem("b");
    try {
        lister.core.SaveList();
        FAIL() << "ListTex32767.txt could never be followed by another file";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), runtime::Overflow);
        EXPECT_NE(std::string(e.what()).find("ListTex32767.txt\": the last list file one run of "
                                             "the program writes is ListTex32766.txt"),
                  std::string::npos);
    }
    EXPECT_EQ(lister.runtime.opened.size(), 1u);
    EXPECT_EQ(ReadBytes(lister.ListFile(32767)), "kept");
    EXPECT_EQ(lister.buffer.ListCount(), 1);
    EXPECT_EQ(lister.core.ListFileNumber(), 32767);
}

TEST_F(ListFiles, FailedOpenKeepsTheBufferAndTheNumber) {
    Fill(3);
    lister.runtime.failOpen = runtime::PermissionDenied;
    EXPECT_THROW(lister.core.SaveList(), RuntimeError);
    EXPECT_EQ(lister.buffer.ListCount(), 3);
    EXPECT_EQ(lister.core.ListFileNumber(), 1);

    // The real list folder names itself and the reason.
    TestRuntime missing("/nonexistent-folder");
    listing::ListingCore elsewhere(lister.buffer, fs, missing);
    elsewhere.SetListFileNumber(4);
    try {
        elsewhere.SaveList();
        FAIL();
    } catch (const RuntimeError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot open the list files' folder \"/nonexistent-folder\": "
                  "No such file or directory");
    }
}

TEST_F(ListFiles, FailedWriteClosesAndRemovesThePartFile) {
    Fill(10);
    lister.runtime.failAfterLines = 5;
    try {
        lister.core.SaveList();
        FAIL();
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), runtime::DiskFull);
    }
    EXPECT_EQ(lister.runtime.openOutputs, 0);
    EXPECT_FALSE(Exists(lister.ListFile(1)));
    EXPECT_EQ(lister.buffer.ListCount(), 10);
    EXPECT_EQ(lister.core.ListFileNumber(), 1);

    // Once the disk has room again, the same lines go to the same file.
    lister.runtime.failAfterLines = -1;
    lister.core.SaveList();
    EXPECT_EQ(FileLines(1).size(), 10u);
}

TEST_F(ListFiles, FileLineThatMakes32000Flushes) {
    fs.Add("/R", {"a", "b"});
    Fill(kFlushThreshold - 2);
    lister.core.ListFolder("/R");  // the folder line makes 31999, a makes 32000
    const Lines first = FileLines(1);
    ASSERT_EQ(first.size(), 32000u);
    EXPECT_EQ(first[31998], "\t/R");
    EXPECT_EQ(first[31999], "\t\ta");
    EXPECT_EQ(lister.Lines(), (Lines{"\t\tb"}));
    EXPECT_EQ(lister.shownCount, 1);
    EXPECT_EQ(lister.core.ListFileNumber(), 2);
}

TEST_F(ListFiles, FolderLineThatMakes32000Flushes) {
    fs.Add("/R", {"a"});
    fs.Add("/R/s", {"c"});
    Fill(kFlushThreshold - 3);  // "\t/R" makes 31998, a 31999, "\t/R/s" 32000
    lister.core.ListFolder("/R");
    const Lines first = FileLines(1);
    ASSERT_EQ(first.size(), 32000u);
    EXPECT_EQ(first.back(), "\t/R/s");
    EXPECT_EQ(lister.Lines(), (Lines{"\t\tc"}));
}

TEST_F(ListFiles, DenialLineThatMakes32000Flushes) {
    fs.Add("/R", {"a"});
    fs.Add("/R/s", {"c"});
    fs.Add("/R/t", {"d"});
    fs.Fail(Call::Open, "/R/s", runtime::PermissionDenied);
    Fill(kFlushThreshold - 3);
    lister.core.ListFolder("/R");
    const Lines first = FileLines(1);
    ASSERT_EQ(first.size(), 32000u);
    EXPECT_EQ(first.back(), kDenialLine);
    EXPECT_EQ(lister.Lines(), (Lines{"\t/R/t", "\t\td"}));
}

TEST_F(ListFiles, LongWalkFillsEveryFileButTheLastWithExactly32000Lines) {
    // 100 folders of 700 files and one empty folder between each: flushes land on all kinds.
    fs.Add("/R");
    std::size_t expected = 1;
    for (int f = 0; f < 100; ++f) {
        fs.Add("/R/d" + std::to_string(f), NumberedNames("file", 700));
        fs.Add("/R/e" + std::to_string(f));
        expected += 702;
    }
    lister.Save("/R");
    EXPECT_EQ(lister.core.ListFileNumber(), 4);
    EXPECT_EQ(FileLines(1).size(), 32000u);
    EXPECT_EQ(FileLines(2).size(), 32000u);
    EXPECT_EQ(FileLines(3).size(), expected + 1 - 64000);  // with the root line
    EXPECT_EQ(FileLines(1)[0], "/R");
    EXPECT_EQ(FileLines(3).back(), "\t/R/e99");
}

}  // namespace
}  // namespace quorvale::test
