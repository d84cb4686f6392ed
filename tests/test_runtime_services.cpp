// The error model and the text output the list files are written with.
#include <sys/resource.h>

#include <cerrno>
#include <csignal>

#include <gtest/gtest.h>

#include "runtime/program_folder.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

using runtime::RuntimeError;

TEST(ErrorModel, DenialsAreSeventyAndEveryOtherFailureIsNot) {
    EXPECT_EQ(runtime::ErrorNumberFromErrno(EACCES), runtime::PermissionDenied);
    EXPECT_EQ(runtime::ErrorNumberFromErrno(EPERM), runtime::PermissionDenied);
    for (const int err : {ENOENT, ENOTDIR, ENOSPC, EIO, EMFILE, ELOOP, ENAMETOOLONG, EROFS}) {
        EXPECT_NE(runtime::ErrorNumberFromErrno(err), runtime::PermissionDenied) << err;
    }
    EXPECT_EQ(runtime::ErrorNumberFromErrno(ENOSPC), runtime::DiskFull);

    const RuntimeError e = runtime::ErrorFromErrno(ENOENT, "Cannot open folder", "/a b/c");
    EXPECT_EQ(e.Number(), runtime::PathNotFound);
    EXPECT_STREQ(e.what(), "Cannot open folder \"/a b/c\": No such file or directory");
}

TEST(TextOutput, WritesEachLineAsItsBytesWithCrLf) {
    TempDir dir;
    const std::string path = dir / "out.txt";
    MakeFile(path, "an older, longer content that must be truncated");
    runtime::FileTextOutput out(path);
    out.PrintLine("");
    out.PrintLine("\t\tna\xFFme\x80");
    out.PrintLine(std::string(100000, 'x'));  // longer than one output block
    out.Close();
    EXPECT_EQ(ReadBytes(path), "\r\n\t\tna\xFFme\x80\r\n" + std::string(100000, 'x') + "\r\n");
}

TEST(TextOutput, AWriteThatTakesOnlyPartOfABlockIsFinishedOrReported) {
    // Under a file-size limit the kernel takes part of a block, then refuses the rest: the output
    // must go on after the partial write and then report the refusal, never stop short silently.
    TempDir dir;
    const std::string path = dir / "out.txt";
    const std::string result = RunInChild([&path] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100003, 100003};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        runtime::FileTextOutput small(path + ".small");
        for (int i = 0; i < 2000; ++i) small.PrintLine(std::string(38, 'a'));  // 80,000 bytes
        small.Close();
        try {
            runtime::FileTextOutput out(path);
            for (int i = 0; i < 5000; ++i) out.PrintLine(std::string(38, 'b'));  // 200,000 bytes
            out.Close();
            return std::string("closed without error");
        } catch (const RuntimeError& e) {
            return "error " + std::to_string(e.Number());
        }
    });
    // Taken as complete, the partial write would have let Close succeed; followed up, the next
    // write meets the limit.
    EXPECT_EQ(result, "error " + std::to_string(runtime::DiskFull));
    EXPECT_EQ(ReadBytes(path + ".small").size(), 80000u);
    EXPECT_FALSE(Exists(path));
    EXPECT_EQ(LeftoverFiles(dir.Path()), std::vector<std::string>{});
}

TEST(TextOutput, OpeningInAMissingFolderFails) {
    try {
        runtime::FileTextOutput out("/nonexistent-folder/ListTex1.txt");
        FAIL();
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), runtime::PathNotFound);
    }
}

TEST(ProgramFolder, IsTheFolderOfTheRunningExecutable) {
    const std::string folder = runtime::ExecutableFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.front(), '/');
    EXPECT_NE(folder.back(), '/');
    EXPECT_TRUE(Exists(folder + "/listing_tests"));
}

}  // namespace
}  // namespace quorvale::test
