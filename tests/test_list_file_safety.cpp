// List files on the real file system: each appears whole or not at all, an earlier file survives
// every failure, one Save at a time per folder, and nothing in the folder is followed or clobbered.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "listing/list_file_name.h"
#include "reading/posix_file_system.h"
#include "runtime/folder_lock.h"
#include "runtime/runtime_services.h"
#include "save/listing_save.h"
#include "support/fake_file_system.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

using runtime::RuntimeError;
using Lines = std::vector<std::string>;

class ListFileSafety : public ::testing::Test {
  protected:
    ListFileSafety() : lister(fs) { fs.Add("/R", {"a", "b"}); }

    // The Save's error number and message, or "saved".
    std::string TrySave() {
        try {
            lister.Save("/R");
            return "saved";
        } catch (const RuntimeError& e) {
            return std::to_string(e.Number()) + " " + e.what();
        }
    }

    FakeFileSystem fs;
    Lister lister;
};

TEST_F(ListFileSafety, ALinkInThePlaceOfAListFileIsReplacedAndItsTargetNeverWritten) {
    TempDir elsewhere;
    MakeFile(elsewhere / "important", "precious");
    MakeLink(elsewhere / "important", lister.ListFile(1));
    MakeLink(elsewhere / "created-through-a-dangling-link", lister.ListFile(2));
    lister.buffer.AddItem("one");
    lister.core.SaveList();
    lister.buffer.AddItem("two");
    lister.core.SaveList();
    EXPECT_EQ(ReadBytes(elsewhere / "important"), "precious");
    EXPECT_FALSE(Exists(elsewhere / "created-through-a-dangling-link"));
    struct stat st {};
    ASSERT_EQ(::lstat(lister.ListFile(1).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadBytes(lister.ListFile(1)), "one\r\n");
    EXPECT_EQ(ReadBytes(lister.ListFile(2)), "two\r\n");
}

TEST_F(ListFileSafety, ANameTakenByAFolderOrAFifoStopsTheSaveAndIsLeftAlone) {
    MakeFolder(lister.ListFile(1));
    EXPECT_NE(TrySave().find("is not a regular file"), std::string::npos);
    EXPECT_EQ(::rmdir(lister.ListFile(1).c_str()), 0);

    ASSERT_EQ(::mkfifo(lister.ListFile(1).c_str(), 0644), 0);
    EXPECT_NE(TrySave().find("is not a regular file"), std::string::npos);  // and no hang
    struct stat st {};
    ASSERT_EQ(::lstat(lister.ListFile(1).c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(LeftoverFiles(lister.programFolder.Path()), Lines{});
}

// The folder is synced after the rename: when that fails the file is in place and stays, but the
// Save cannot say its listing is on the disk. It stops, and leaves no record of a listing.
TEST_F(ListFileSafety, AFolderThatCannotBeSyncedStopsTheSaveWithoutARecord) {
    struct FolderSyncFails : runtime::OutputSystemCalls {
        explicit FolderSyncFails(int number) : error(number) {}
        int FolderSync(int) override {
            errno = error;
            return -1;
        }
        int error;
    };
    FolderSyncFails failing(EIO);
    lister.runtime.outputCalls = &failing;
    const std::string result = TrySave();
    EXPECT_NE(result.find("Cannot make durable the renaming of file \"" + lister.ListFile(1) +
                          "\": Input/output error"),
              std::string::npos)
        << result;
    EXPECT_EQ(ReadBytes(lister.ListFile(1)), "/R\r\n\t/R\r\n\t\ta\r\n\t\tb\r\n");
    EXPECT_FALSE(Exists(lister.programFolder / std::string(listing::kRecordName)));
    EXPECT_EQ(LeftoverFiles(lister.programFolder.Path()), Lines{});

    // A folder that cannot be synced at all (EINVAL) is no failure.
    FolderSyncFails unsupported(EINVAL);
    lister.runtime.outputCalls = &unsupported;
    EXPECT_EQ(TrySave(), "saved");
    EXPECT_TRUE(Exists(lister.programFolder / std::string(listing::kRecordName)));
}

TEST_F(ListFileSafety, AReadOnlyListFileIsKeptAlsoForRoot) {
    MakeFile(lister.ListFile(1), "kept");
    ASSERT_EQ(::chmod(lister.ListFile(1).c_str(), 0444), 0);
    const std::string result = TrySave();
    EXPECT_EQ(result, "70 Cannot write file \"" + lister.ListFile(1) + "\": the file is read-only");
    EXPECT_EQ(ReadBytes(lister.ListFile(1)), "kept");
    EXPECT_EQ(lister.buffer.ListCount(), 4);  // the lines stay for the user to see
}

TEST_F(ListFileSafety, AWriteKilledPartWayLeavesTheEarlierFileWholeAndTheNextSaveTidiesUp) {
    MakeFile(lister.ListFile(1), "the earlier run\r\n");
    const std::string folder = lister.programFolder.Path();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A listing large enough to take a while to write, saved over and over.
        for (int i = 0; i < 32000; ++i) lister.buffer.AddItem(std::string(1000, 'x'));
        for (;;) {
            lister.core.SetListFileNumber(1);
            lister.core.SaveList();
            for (int i = 0; i < 32000; ++i) lister.buffer.AddItem(std::string(1000, 'x'));
        }
    }
    // Kill it while it is writing ListTex1.txt under its temporary name: stop it, and kill it
    // only if the temporary file is there; otherwise let it go on and look again.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool killed = false;
    while (!killed && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        ::kill(child, SIGSTOP);
        ::waitpid(child, nullptr, WUNTRACED);
        if (LeftoverFiles(folder).size() == 1) {
            ::kill(child, SIGKILL);
            killed = true;
        } else {
            ::kill(child, SIGCONT);
        }
    }
    if (!killed) ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(killed);
    ASSERT_EQ(LeftoverFiles(folder).size(), 1u);
    const std::string listFile = ReadBytes(lister.ListFile(1));
    // Either the earlier file, or a whole new one: never a cut one.
    if (listFile != "the earlier run\r\n") {
        EXPECT_EQ(listFile.size(), 32000u * 1002u);
    }

    // The next Save into the folder removes what the killed one left.
    EXPECT_EQ(TrySave(), "saved");
    EXPECT_EQ(LeftoverFiles(folder), Lines{});
    EXPECT_EQ(SplitListFile(ReadBytes(lister.ListFile(1))),
              (Lines{"/R", "\t/R", "\t\ta", "\t\tb"}));
}

TEST_F(ListFileSafety, AFailedWriteKeepsTheEarlierFileOfThatNumber) {
    MakeFile(lister.ListFile(1), "the earlier run\r\n");
    lister.runtime.failAfterLines = 2;
    EXPECT_EQ(TrySave().substr(0, 3), std::to_string(runtime::DiskFull) + " ");
    EXPECT_EQ(ReadBytes(lister.ListFile(1)), "the earlier run\r\n");
    EXPECT_EQ(LeftoverFiles(lister.programFolder.Path()), Lines{});
    EXPECT_EQ(lister.runtime.openOutputs, 0);
}

TEST_F(ListFileSafety, AListFileThatCannotBeMadeDurableStopsTheSaveAndIsNotInPlace) {
    // Files are made durable beside the walk; a failure there is reported, never taken as saved.
    fs.Add("/big", NumberedNames("f", 70000, 100000));
    MakeFile(lister.ListFile(1), "the earlier run\r\n");
    lister.runtime.failCommit = 0;
    try {
        lister.Save("/big");
        FAIL() << "the failed commit must stop the Save";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), runtime::DeviceIOError);
        EXPECT_NE(std::string(e.what()).find(lister.ListFile(1)), std::string::npos);
    }
    EXPECT_EQ(ReadBytes(lister.ListFile(1)), "the earlier run\r\n");
    EXPECT_EQ(lister.core.ListFileNumber(), 1);  // the message names the file not in place
    EXPECT_EQ(LeftoverFiles(lister.programFolder.Path()), Lines{});
}

TEST_F(ListFileSafety, NoListFileIsPutInPlaceAfterOneThatCannotBeMadeDurable) {
    // Several files are made durable at once; the ones after a failed one are never put in place,
    // so the files saved are ListTex1 up to the one before it, with no gap.
    fs.Add("/big", NumberedNames("f", 100000, 100000));
    for (int number : {2, 3, 4}) MakeFile(lister.ListFile(number), "the earlier run\r\n");
    lister.runtime.failCommit = 1;
    // The commits wait until the third file is written, so that the second fails while the
    // third is under way.
    lister.runtime.holdCommits = true;
    lister.core.SetYield([this] {
        if (lister.core.ListFileNumber() >= 4) lister.runtime.releaseCommits = true;
    });
    try {
        lister.Save("/big");
        FAIL() << "the failed commit must stop the Save";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), runtime::DeviceIOError);
        EXPECT_NE(std::string(e.what()).find(lister.ListFile(2)), std::string::npos);
    }
    EXPECT_EQ(ListFileLines(lister.programFolder.Path(), 1).size(), 32000u);
    for (int number : {2, 3, 4}) {
        EXPECT_EQ(ReadBytes(lister.ListFile(number)), "the earlier run\r\n") << number;
    }
    EXPECT_EQ(lister.core.ListFileNumber(), 2);
    EXPECT_GE(lister.runtime.opened.size(), 3u);  // the third was written, never put in place
    EXPECT_FALSE(lister.runtime.commitWaitedOut);
    EXPECT_EQ(LeftoverFiles(lister.programFolder.Path()), Lines{});
    EXPECT_EQ(lister.runtime.openOutputs, 0);
}

TEST_F(ListFileSafety, ListFilesAlreadyPutInPlaceAreLetGoOf) {
    // A Save of many list files holds only those still being made durable, not every one.
    fs.Add("/big", NumberedNames("f", 400000, 1000000));
    lister.Save("/big");
    EXPECT_EQ(lister.core.ListFileNumber(), 14);
    EXPECT_LE(lister.runtime.mostLiveOutputs, 5);  // four being made durable, one being written
    EXPECT_EQ(lister.runtime.liveOutputs, 0);
}

TEST_F(ListFileSafety, TheWindowKeepsCatchingUpWhileAListFileIsMadeDurable) {
    // A slow disk must not freeze the window: the commit is released only by a catch-up that
    // happens while it is waited for.
    lister.runtime.holdCommits = true;
    lister.core.SetYield([this] {
        if (lister.runtime.commitHeld) lister.runtime.releaseCommits = true;
    });
    EXPECT_EQ(TrySave(), "saved");
    EXPECT_FALSE(lister.runtime.commitWaitedOut);
    EXPECT_EQ(ReadBytes(lister.ListFile(1)), "/R\r\n\t/R\r\n\t\ta\r\n\t\tb\r\n");
}

TEST_F(ListFileSafety, ASecondProgramSavingIntoTheSameFolderIsToldItIsBusy) {
    TempDir otherFolder;
    const std::string folder = lister.programFolder.Path();
    runtime::FolderLock held(folder);  // this process is saving there
    const std::string out = RunInChild([&] {
        std::string report;
        for (const std::string& into : {folder, otherFolder.Path()}) {
            FakeFileSystem childFs;
            childFs.Add("/R", {"a"});
            Lister other(childFs);
            other.runtime.folder_ = into;
            try {
                other.Save("/R");
                report += "saved\n";
            } catch (const RuntimeError& e) {
                report += std::to_string(e.Number()) + " " + e.what() + "\n";
            }
        }
        return report;
    });
    EXPECT_EQ(out, "55 Another Quorvale is saving list files in \"" + folder +
                       "\" right now; try again when it has finished\nsaved\n");
    EXPECT_FALSE(Exists(lister.ListFile(1)));
    EXPECT_TRUE(Exists(listing::ListFilePath(otherFolder.Path(), 1)));
}

TEST_F(ListFileSafety, TwoProgramsSavingAtOnceLeaveWholeListings) {
    fs.Add("/big", NumberedNames("f", 50000, 100000));
    const std::string folder = lister.programFolder.Path();
    std::vector<pid_t> children;
    for (int c = 0; c < 2; ++c) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int status = 0;
            {
                Lister mine(fs);  // its own program folder goes before the child exits
                mine.runtime.folder_ = folder;
                try {
                    mine.Save("/big");
                } catch (const RuntimeError& e) {
                    status = e.Number() == runtime::FileAlreadyOpen ? 1 : 2;
                }
            }
            ::_exit(status);
        }
        children.push_back(pid);
    }
    int saved = 0;
    for (const pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_NE(WEXITSTATUS(status), 2);
        saved += WEXITSTATUS(status) == 0;
    }
    EXPECT_GE(saved, 1);
    const Lines lines = ListFileLines(folder, 2);
    ASSERT_EQ(lines.size(), 50002u);
    EXPECT_EQ(lines[1], "\t/big");
    EXPECT_EQ(lines.back(), "\t\tf149999");
    EXPECT_EQ(LeftoverFiles(folder), Lines{});
}
namespace swap {

// A tree of one root folder with `files` empty files: enough lines for several list files.
std::string MakeWideTree(const TempDir& dir, int files) {
    const std::string root = dir / "tree";
    MakeFolder(root);
    for (const std::string& name : NumberedNames("f", files, 100000)) MakeFile(root + "/" + name);
    return root;
}

// What happens to the list folder's path while the first Save is between its second and third
// list file.
enum class Swap {
    kMovedAndReplacedByALink,     // OUT -> OUT.old, then OUT is a link to `elsewhere`
    kExchangedWithALink,          // renameat2(RENAME_EXCHANGE) of OUT and a link to `elsewhere`
    kExchangedWithAnotherFolder,  // renameat2(RENAME_EXCHANGE) of OUT and `elsewhere`
};

}  // namespace swap

// However the list folder's path is changed under a running Save (by the user, or by another
// user who owns its parent), every list file of that Save lands in the folder it locked, and a
// second Save at the path locks and writes whatever the path names now: no folder ever holds
// files of two listings.
TEST(ListFolderSwap, EveryListFileLandsInTheFolderTheSaveLocked) {
    TempDir dir;
    const std::string tree = swap::MakeWideTree(dir, 70000);  // 70,002 lines: three list files
    MakeFolder(dir / "small");
    MakeFile(dir / "small/x");
    for (const swap::Swap how :
         {swap::Swap::kMovedAndReplacedByALink, swap::Swap::kExchangedWithALink,
          swap::Swap::kExchangedWithAnotherFolder}) {
        SCOPED_TRACE(static_cast<int>(how));
        TempDir place;
        const std::string out = place / "OUT";
        const std::string elsewhere = place / "elsewhere";
        MakeFolder(out);
        MakeFolder(elsewhere);
        ::chmod(elsewhere.c_str(), 0700);
        std::string locked = out;  // where the first Save's files must end up
        std::string secondSaw;     // how the second Save ended

        reading::PosixFileSystem fs;
        runtime::SystemRuntimeServices runtime(out, runtime::Durability::kUnsynced);
        listing::ListingBuffer buffer;
        listing::ListingCore core(buffer, fs, runtime);
        bool swapped = false;
        core.SetYield([&] {
            if (swapped || core.ListFileNumber() < 3) return;
            swapped = true;
            switch (how) {
                case swap::Swap::kMovedAndReplacedByALink:
                    ASSERT_EQ(::rename(out.c_str(), (place / "OUT.old").c_str()), 0);
                    MakeLink(elsewhere, out);
                    locked = place / "OUT.old";
                    break;
                case swap::Swap::kExchangedWithALink:
                    MakeLink(elsewhere, place / "link");
                    ASSERT_EQ(::renameat2(AT_FDCWD, out.c_str(), AT_FDCWD, (place / "link").c_str(),
                                          RENAME_EXCHANGE),
                              0);
                    locked = place / "link";
                    break;
                case swap::Swap::kExchangedWithAnotherFolder:
                    ASSERT_EQ(::renameat2(AT_FDCWD, out.c_str(), AT_FDCWD, elsewhere.c_str(),
                                          RENAME_EXCHANGE),
                              0);
                    locked = elsewhere;  // the first Save's folder now has this name
                    break;
            }
            // A second Save at the path meanwhile locks whatever it names now.
            reading::PosixFileSystem secondFs;
            runtime::SystemRuntimeServices secondRuntime(out, runtime::Durability::kUnsynced);
            listing::ListingBuffer secondBuffer;
            listing::ListingCore second(secondBuffer, secondFs, secondRuntime);
            try {
                save::SaveListing(second, secondRuntime, dir / "small");
                secondSaw = "saved";
            } catch (const RuntimeError& e) {
                secondSaw = e.what();
            }
        });
        save::SaveListing(core, runtime, tree);
        ASSERT_TRUE(swapped);
        EXPECT_EQ(secondSaw, "saved");

        // The first listing, whole, in the folder it locked, and nothing else there.
        const Lines first = ListFileLines(locked, 3);
        ASSERT_EQ(first.size(), 70002u);
        EXPECT_EQ(first[0], tree);
        EXPECT_EQ(first.back(), "\t\tf169999");
        EXPECT_FALSE(Exists(listing::ListFilePath(locked, 4)));
        // The second listing alone where the path pointed when it ran.
        const std::string secondFolder = how == swap::Swap::kExchangedWithAnotherFolder
                                             ? out  // `elsewhere`'s folder, under the name OUT
                                             : elsewhere;
        EXPECT_EQ(ListFileLines(secondFolder, 1),
                  (Lines{dir / "small", "\t" + dir / "small", "\t\tx"}));
        EXPECT_FALSE(Exists(listing::ListFilePath(secondFolder, 2)));
        EXPECT_EQ(LeftoverFiles(locked), Lines{});
        EXPECT_EQ(LeftoverFiles(secondFolder), Lines{});
    }
}

// With the list folder inside the tree being listed, the listing never names the Save's own
// temporary files (gone by the time anyone reads it), but does name a file of the same name in
// another folder.
TEST(ListFolderInsideTheTree, TheSavesOwnTemporaryFilesAreLeftOut) {
    TempDir dir;
    const std::string tree = dir / "tree";
    MakeFolder(tree);
    MakeFolder(tree + "/a");
    for (const std::string& name : NumberedNames("f", 32005, 100000)) MakeFile(tree + "/a/" + name);
    MakeFolder(tree + "/zz-other");
    MakeFolder(tree + "/zz-out");
    reading::PosixFileSystem fs;
    fs.SetReadAhead(0);  // each folder read when the walk reaches it, after ListTex1 was begun
    Lister lister(fs);
    lister.runtime.folder_ = tree + "/zz-out";
    // ListTex1.txt stays under its temporary name until the walk has read the list folder.
    lister.runtime.holdCommits = true;
    std::string temporary;
    lister.core.SetYield([&] {
        if (temporary.empty() && lister.core.ListFileNumber() == 2) {
            const Lines made = LeftoverFiles(tree + "/zz-out");
            ASSERT_EQ(made.size(), 1u);
            temporary = made[0];
            MakeFile(tree + "/zz-other/" + temporary);
        }
        const int count = lister.buffer.ListCount();
        if (count > 0 && lister.buffer.Line(count - 1) == "\t" + tree + "/zz-out") {
            lister.runtime.releaseCommits = true;
        }
    });
    lister.Save(tree);
    EXPECT_FALSE(lister.runtime.commitWaitedOut);
    const Lines lines = ListFileLines(tree + "/zz-out", 2);
    ASSERT_EQ(lines.size(), 32005u + 6u);
    EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
              (Lines{"\t" + tree + "/zz-other", "\t\t" + temporary, "\t" + tree + "/zz-out"}));
}

}  // namespace
}  // namespace quorvale::test
