// The error model and the text output the list files are written with.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "runtime/documents_folder.h"
#include "runtime/file_system_facts.h"
#include "runtime/path_join.h"
#include "runtime/program_folder.h"
#include "runtime/thread_start.h"
#include "runtime/utc_time.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

using runtime::RuntimeError;

// A folder held open, for outputs that work relative to its handle.
class HeldFolder {
  public:
    explicit HeldFolder(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    ~HeldFolder() {
        if (fd_ >= 0) ::close(fd_);
    }
    int Handle() const { return fd_; }

  private:
    int fd_;
};

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

// Every time an int64_t holds, as a file system may give it: around 1970, 2038 and 10000, at the
// ends of the range, and days met out of order (the date of the last day met is kept).
// A thread the program starts blocks the termination signals (they reach the thread that handles
// them), and leaves the starting thread's own mask as it was; a refused start is no thread.
TEST(ThreadStart, WorkersBlockTerminationSignalsAndARefusedStartIsNoThread) {
    const auto blocked = [] {
        sigset_t mask;
        ::pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        return ::sigismember(&mask, SIGTERM) == 1 && ::sigismember(&mask, SIGINT) == 1 &&
               ::sigismember(&mask, SIGHUP) == 1;
    };
    ASSERT_FALSE(blocked());
    bool workerBlocked = false;
    std::optional<std::thread> worker = runtime::StartThread([&] { workerBlocked = blocked(); });
    ASSERT_TRUE(worker);
    worker->join();
    EXPECT_TRUE(workerBlocked);
    EXPECT_FALSE(blocked());

    const std::uint64_t refusedBefore = runtime::ThreadStartsRefused();
    runtime::RefuseThreadStarts([](std::uint64_t n) { return n == 2; });
    bool ran[3] = {false, false, false};
    for (bool& flag : ran) {
        if (std::optional<std::thread> thread = runtime::StartThread([&flag] { flag = true; })) {
            thread->join();
        }
    }
    runtime::RefuseThreadStarts({});
    EXPECT_TRUE(ran[0]);
    EXPECT_FALSE(ran[1]);
    EXPECT_TRUE(ran[2]);
    EXPECT_EQ(runtime::ThreadStartsRefused(), refusedBefore + 1);
}

TEST(UtcTime, EveryTimeAFileSystemCanHoldIsADateWithoutOverflow) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {-1, "1969-12-31T23:59:59Z"},
        {2147483647, "2038-01-19T03:14:07Z"},
        {2147483648, "2038-01-19T03:14:08Z"},
        {253402300799, "9999-12-31T23:59:59Z"},
        {253402300800, "+10000-01-01T00:00:00Z"},
        {-62167219200, "0000-01-01T00:00:00Z"},
        {-62167219201, "-0001-12-31T23:59:59Z"},
        {INT64_MAX, "+292277026596-12-04T15:30:07Z"},
        {INT64_MIN, "-292277022657-01-27T08:29:52Z"},
        {std::int64_t{1} << 62, "+146138514283-06-19T07:45:04Z"},
        {-(std::int64_t{1} << 40), "-32873-11-12T23:23:44Z"},
        {951782400, "2000-02-29T00:00:00Z"},
        {1709164800, "2024-02-29T00:00:00Z"},
        {1, "1970-01-01T00:00:01Z"},
    };
    for (const auto& [seconds, text] : cases) EXPECT_EQ(runtime::UtcTime(seconds), text) << seconds;
}

TEST(TextOutput, WritesEachLineAsItsBytesWithCrLf) {
    TempDir dir;
    const std::string path = dir / "out.txt";
    MakeFile(path, "an older, longer content that must be truncated");
    const HeldFolder folder(dir.Path());
    runtime::FileTextOutput out(folder.Handle(), "out.txt", path);
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
    const std::string result = RunInChild([&path, &dir] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100003, 100003};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const HeldFolder folder(dir.Path());
        runtime::FileTextOutput small(folder.Handle(), "out.txt.small", path + ".small");
        for (int i = 0; i < 2000; ++i) small.PrintLine(std::string(38, 'a'));  // 80,000 bytes
        small.Close();
        try {
            runtime::FileTextOutput out(folder.Handle(), "out.txt", path);
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

TEST(TextOutput, LockingAMissingFolderFails) {
    try {
        runtime::FolderLock lock("/nonexistent-folder");
        FAIL();
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), runtime::PathNotFound);
    }
}

// The real system calls, each noted in the order made, with what it was given.
class RecordedCalls final : public runtime::OutputSystemCalls {
  public:
    int FstatAt(int folder, const char* name, struct stat* st, int flags) override {
        calls.push_back(std::string("fstatat ") + name +
                        ((flags & AT_SYMLINK_NOFOLLOW) != 0 ? " nofollow" : " follow"));
        return OutputSystemCalls::FstatAt(folder, name, st, flags);
    }
    int FdataSync(int fd) override {
        calls.push_back("fdatasync file");
        return OutputSystemCalls::FdataSync(fd);
    }
    int RenameAt(int folder, const char* from, const char* to) override {
        calls.push_back(std::string("rename temporary to ") + to);
        temporaryWhenRenamed = from;
        return OutputSystemCalls::RenameAt(folder, from, to);
    }
    int FolderSync(int folder) override {
        calls.push_back("fsync folder");
        return OutputSystemCalls::FolderSync(folder);
    }
    int UnlinkAt(int folder, const char* name) override {
        calls.push_back(std::string("unlink ") + name);
        return OutputSystemCalls::UnlinkAt(folder, name);
    }
    std::vector<std::string> calls;
    std::string temporaryWhenRenamed;
};

TEST(TextOutput, SyncsTheDataThenRenamesThenSyncsTheFolderAndNeverUnlinksTheOldFile) {
    TempDir dir;
    MakeFile(dir / "ListTex1.txt", "the earlier listing\r\n");
    const HeldFolder folder(dir.Path());
    RecordedCalls recorded;
    runtime::FileTextOutput out(folder.Handle(), "ListTex1.txt", dir / "ListTex1.txt",
                                runtime::Durability::kSynced, recorded);
    const std::string temporary = out.TemporaryName();
    EXPECT_TRUE(Exists(dir / temporary));
    out.PrintLine("line");
    out.Close();
    // The check never follows a link; nothing is renamed before its data is on the disk; the
    // rename reaches the disk with the folder; the earlier file is replaced only by the rename.
    EXPECT_EQ(recorded.calls,
              (std::vector<std::string>{"fstatat ListTex1.txt nofollow", "fdatasync file",
                                        "rename temporary to ListTex1.txt", "fsync folder"}));
    EXPECT_EQ(recorded.temporaryWhenRenamed, temporary);
    EXPECT_EQ(ReadBytes(dir / "ListTex1.txt"), "line\r\n");
    EXPECT_FALSE(Exists(dir / temporary));
}

TEST(TextOutput, WritesIntoTheFolderItWasGivenWhateverItsPathNamesLater) {
    TempDir dir;
    MakeFolder(dir / "out");
    MakeFolder(dir / "elsewhere");
    const HeldFolder folder(dir / "out");
    runtime::FileTextOutput out(folder.Handle(), "ListTex1.txt", dir / "out/ListTex1.txt");
    out.PrintLine("line");
    ASSERT_EQ(::rename((dir / "out").c_str(), (dir / "out.old").c_str()), 0);
    MakeLink(dir / "elsewhere", dir / "out");
    out.Close();
    EXPECT_EQ(ReadBytes(dir / "out.old/ListTex1.txt"), "line\r\n");
    EXPECT_FALSE(Exists(dir / "elsewhere/ListTex1.txt"));
}

TEST(ListFileFolder, InstalledCopiesNeverWriteBesideThemselves) {
    struct Case {
        const char* folder;
        const char* prefix;
        bool installed;
    };
    const Case cases[] = {
        {"/usr/bin", "/usr", true},
        {"/usr/local/bin", "/usr/local", true},
        {"/bin", "", true},
        {"/sbin", "", true},
        {"/opt/quorvale/bin", "", true},
        {"/srv/apps/bin", "/srv/apps", true},    // the prefix it was built for
        {"/srv/apps2/bin", "/srv/apps", false},  // only a whole folder name matches
        {"/usrx/bin", "/usr/local", false},
        {"/home/u/quorvale/build/src", "/usr/local", false},
        {"/root/build/src", "/", false},  // a prefix of "/" would match everything
        {"/tmp/portable", "", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(runtime::IsInstalledFolder(c.folder, c.prefix), c.installed) << c.folder;
    }
    // As root every folder is writable: an installed copy still uses the documents folder.
    const runtime::ListFileFolderChoice installed =
        runtime::ChooseListFileFolder("", "/usr/bin", "/home/u/Documents/Quorvale");
    EXPECT_EQ(installed.path, "/home/u/Documents/Quorvale");
    EXPECT_TRUE(installed.createWhenNeeded);
    TempDir portable;
    EXPECT_EQ(runtime::ChooseListFileFolder("", portable.Path(), "/docs").path, portable.Path());
    EXPECT_EQ(runtime::ChooseListFileFolder("/given", portable.Path(), "/docs").path, "/given");
}

// Where a drive is mounted, from the mount table's own text (escapes undone; a bind mount of one
// of its folders is not where the drive is mounted), and a path moved from one mount to another.
// The picker names a drive as people know it: its label, else its disk's model, else where it is
// mounted, with its size; the model found from a partition's disk as the kernel lays them out.
TEST(MountTable, ADriveIsKnownByItsLabelOrModelAndItsSize) {
    const std::pair<std::tuple<std::string, std::string, std::uint64_t, std::string>, std::string>
        cases[] = {
            {{"photos", "SanDisk Ultra", 1000204886016, "/media/a/photos"}, "photos (1.0 TB)"},
            {{"", "SanDisk Ultra", 61530439680, "/media/a/3F2A-11C0"}, "SanDisk Ultra (61.5 GB)"},
            {{"", "", 999, "/mnt/backup"}, "backup (999 B)"},
            {{"", "", 0, "/mnt/backup"}, "backup"},
            {{"", "", 1500, "/"}, "/ (1.5 kB)"},
        };
    for (const auto& [given, title] : cases) {
        const auto& [label, model, bytes, mountPoint] = given;
        EXPECT_EQ(runtime::DriveTitle(label, model, bytes, mountPoint), title);
    }
    TempDir sys;
    const std::string disk = sys / "devices/pci0000:00/usb1/block/sdb";
    MakeFolder(sys / "devices");
    ASSERT_EQ(std::system(("mkdir -p '" + disk + "/sdb1' '" + disk + "/device' '" +
                           sys / "class/block" + "'")
                              .c_str()),
              0);
    MakeFile(disk + "/device/model", "SanDisk Ultra   \n");
    ASSERT_EQ(::symlink("../../devices/pci0000:00/usb1/block/sdb/sdb1",
                        (sys / "class/block/sdb1").c_str()),
              0);
    ASSERT_EQ(
        ::symlink("../../devices/pci0000:00/usb1/block/sdb", (sys / "class/block/sdb").c_str()), 0);
    EXPECT_EQ(runtime::DriveModel("/dev/sdb1", sys.Path()), "SanDisk Ultra");
    EXPECT_EQ(runtime::DriveModel("/dev/sdb", sys.Path()), "SanDisk Ultra");
    EXPECT_EQ(runtime::DriveModel("/dev/sdc1", sys.Path()), "");
    EXPECT_EQ(runtime::DriveModel("tmpfs", sys.Path()), "");
}

TEST(MountTable, AMountPointIsTheWholeDrivesAndAPathMovesWithIt) {
    const std::string table =
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "40 22 8:17 /photos /srv/bound rw shared:5 - ext4 /dev/sdb1 rw\n"
        "41 22 8:17 / /media/alice/My\\040Disk rw,nosuid shared:6 - ext4 /dev/sdb1 rw\n"
        "42 22 0:45 / /tmp rw - tmpfs tmpfs rw\n";
    const std::vector<runtime::MountLine> mounts = runtime::ReadMountTable(table);
    ASSERT_EQ(mounts.size(), 4u);
    EXPECT_EQ(mounts[2].mountPoint, "/media/alice/My Disk");
    EXPECT_EQ(mounts[2].type, "ext4");
    EXPECT_EQ(mounts[2].source, "/dev/sdb1");
    EXPECT_EQ(runtime::MountPointOf(mounts, "8:17"), "/media/alice/My Disk");
    EXPECT_EQ(runtime::MountPointOf(mounts, "8:1"), "/");
    EXPECT_EQ(runtime::MountPointOf(mounts, "8:33"), "");
    struct Case {
        const char* path;
        const char* from;
        const char* to;
        const char* moved;
    };
    const Case cases[] = {
        {"/media/a/x/y", "/media/a", "/mnt/b", "/mnt/b/x/y"},
        {"/media/a", "/media/a", "/mnt/b", "/mnt/b"},
        {"/media/ab/x", "/media/a", "/mnt/b", ""},  // not below it
        {"/x/y", "/", "/mnt/b", "/mnt/b/x/y"},
        {"/media/a/x", "/media/a/", "/", "/x"},
        {"/elsewhere", "/media/a", "/mnt/b", ""},
        {"/media/a/x", "", "/mnt/b", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(runtime::RerootPath(c.path, c.from, c.to), c.moved) << c.path << " " << c.from;
    }
}

TEST(ProgramFolder, IsTheFolderOfTheRunningExecutable) {
    const std::string folder = runtime::ExecutableFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.front(), '/');
    EXPECT_NE(folder.back(), '/');
    EXPECT_TRUE(Exists(folder + "/listing_tests"));
}

// The documents folder as the desktop's user folders file names it, $HOME expanded; ~/Documents
// when the file or its line is missing or names no absolute folder.
TEST(DocumentsFolder, ComesFromTheUserFoldersFileOrIsDocumentsInTheHome) {
    TempDir dir;
    const std::string home = dir / "home";
    const std::string config = dir / "config";
    MakeFolder(home);
    MakeFolder(config);
    const std::string savedHome = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    const char* savedConfig = std::getenv("XDG_CONFIG_HOME");
    const std::string keptConfig = savedConfig != nullptr ? savedConfig : "";
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    const auto documentsWith = [&](const std::string& file) {
        MakeFile(config + "/user-dirs.dirs", file);
        return runtime::DocumentsFolder();
    };
    EXPECT_EQ(runtime::DocumentsFolder(), home + "/Documents");  // no file
    EXPECT_EQ(documentsWith("# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                            "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n"),
              home + "/Dokumente");
    EXPECT_EQ(documentsWith("XDG_DOCUMENTS_DIR=\"/srv/papers/\"\n"), "/srv/papers");
    EXPECT_EQ(documentsWith("XDG_DOCUMENTS_DIR=\"papers\"\n"), home + "/Documents");
    EXPECT_EQ(runtime::ListFolderInDocuments(), home + "/Documents/Quorvale");
    // A fifo in the file's place is not waited on (a child asks, so that a hang fails the test).
    ::unlink((config + "/user-dirs.dirs").c_str());
    ASSERT_EQ(::mkfifo((config + "/user-dirs.dirs").c_str(), 0600), 0);
    const pid_t child = ::fork();
    if (child == 0) ::_exit(runtime::DocumentsFolder() == home + "/Documents" ? 0 : 1);
    int status = -1;
    for (int waited = 0; waited < 2000 && ::waitpid(child, &status, WNOHANG) == 0; ++waited) {
        ::usleep(10000);
    }
    if (status == -1) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        ADD_FAILURE() << "a fifo for the user folders file held the program";
    } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ::setenv("HOME", savedHome.c_str(), 1);
    if (savedConfig != nullptr) {
        ::setenv("XDG_CONFIG_HOME", keptConfig.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

}  // namespace
}  // namespace quorvale::test
