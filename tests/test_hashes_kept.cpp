// What a listing's hashes are good for, through the real program: `--export sums` read back by
// xxhsum -c and sha256sum -c; `--verify` telling a file whose bytes changed beneath the file system
// from one edited as files are, and each thing it cannot verify with its message and status; and
// re-listings after random changes, whose carried hashes are the ones a fresh Save computes.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include "catalogue/earlier_listing.h"
#include "catalogue/hash_file.h"
#include "listing/list_file_name.h"
#include "runtime/nanoseconds.h"
#include "support/odd_tree.h"
#include "support/program_run.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

ProgramRun Save(const std::string& tree, const std::string& listing,
                const std::vector<std::string>& more = {}) {
    std::vector<std::string> args = {"--save", tree, "--list-folder", listing};
    args.insert(args.end(), more.begin(), more.end());
    return RunProgram(args);
}

// The sums are verified by the checkers people run, in the listing's root: every line of them
// for SHA-256 (names holding CR, LF or a backslash with sha256sum's escapes), and for XXH3-128
// every file but those, which are named on stderr.
TEST(KeptHashes, ExportedSumsAreVerifiedByXxhsumAndSha256sum) {
    TempDir dir;
    const std::string tree = dir / "T";
    std::mt19937 random(45);
    MakeFolder(tree);
    MakeOddTree(tree, random);
    MakeFile(tree + "/back\\slash", "b");
    for (const std::string algorithm : {"xxh3", "sha256"}) {
        SCOPED_TRACE(algorithm);
        const std::string listing = dir / ("L-" + algorithm);
        ASSERT_EQ(Save(tree, listing, {"--hash=" + algorithm}).status, 0);
        const ProgramRun sums = RunProgram({"--export", "sums", listing});
        ASSERT_EQ(sums.status, 0) << sums.err;
        MakeFile(dir / "sums", sums.out);
        const auto [status, said] =
            // --strict: a line the checker cannot read is a failure, not a warning.
            Shell("cd '" + tree + "' && " + (algorithm == "xxh3" ? "xxhsum" : "sha256sum") +
                      " --strict -c '" + dir / "sums" + "'",
                  dir);
        EXPECT_EQ(status, 0) << said;
        EXPECT_FALSE(Holds(said, "FAILED")) << said;
        std::size_t special = 0;
        std::size_t files = 0;
        std::vector<std::string> entries;
        Walk(tree, entries, true);
        for (const std::string& path : entries) {
            struct stat st {};
            if (path.ends_with('/') || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                continue;
            }
            ++files;
            if (path.substr(tree.size() + 1).find_first_of("\r\n\\") != std::string::npos) {
                ++special;
            }
        }
        ASSERT_GT(special, 0u);
        std::size_t lines = 0;
        for (const char c : sums.out) lines += c == '\n' ? 1 : 0;
        std::size_t leftOut = 0;
        for (std::size_t at = 0; (at = sums.err.find("left out", at)) != std::string::npos; ++at) {
            ++leftOut;
        }
        EXPECT_EQ(lines, algorithm == "xxh3" ? files - special : files);
        EXPECT_EQ(leftOut, algorithm == "xxh3" ? special : 0u) << sums.err;
    }
}

// The physical byte where `path`'s data begins on its disk, as filefrag reads it; -1 if it cannot.
long long PhysicalOffset(const std::string& path, const TempDir& dir) {
    const auto [status, said] = Shell("sync && filefrag -v -b1 '" + path + "'", dir);
    const std::size_t row = said.find("\n   0:");
    long long physical = -1;
    if (status != 0 || row == std::string::npos ||
        std::sscanf(said.c_str() + row, "\n %*d: %*d.. %*d: %lld..", &physical) != 1) {
        return -1;
    }
    return physical;
}

// Bytes flipped beneath the file system (in the drive's image, the drive unmounted, its size and
// times untouched) make that file "!", and that file alone; a file only touched is "~m", never
// "!"; a file edited as files are "~sm", one gone "-". Where no drive can be mounted, the bytes
// are rewritten and the times put back with utimensat instead.
TEST(KeptHashes, VerifyTellsBytesChangedBeneathTheFileSystemFromFilesEditedOrGone) {
    TempDir dir;
    const std::string root = dir / "drive";
    auto drive = std::make_unique<ImageMount>(dir / "drive.img", root, "BACKUP",
                                              "8a2f8d7e-44a3-4c3b-9d55-2f1d6b0c1e44");
    const bool mounted = drive->WhyNot().empty();
    if (!mounted) {
        std::cout << "(no drive image: " << drive->WhyNot()
                  << "; the bytes are rewritten with their times put back instead)\n";
        MakeFolder(root);
    }
    std::mt19937 random(9);
    for (const std::string name : {"rotted", "intact", "touched", "edited", "gone"}) {
        std::string bytes(20000, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        MakeFile(root + "/" + name, bytes);
    }
    const std::string listing = dir / "L";
    ASSERT_EQ(Save(root, listing, {"--hash"}).status, 0);
    const ProgramRun intact = RunProgram({"--verify", listing});
    EXPECT_EQ(intact.status, 0) << intact.out << intact.err;
    EXPECT_EQ(intact.out, "");

    const std::string rotted = root + "/rotted";
    if (mounted) {
        const long long at = PhysicalOffset(rotted, dir);
        ASSERT_GE(at, 0) << "filefrag found no extent of " << rotted;
        ASSERT_TRUE(drive->MoveTo(dir / "elsewhere")) << "cannot mount the drive again";
        const std::string image = dir / "drive.img";
        ::umount2((dir / "elsewhere").c_str(), 0);
        const int fd = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        char flipped[16];
        ASSERT_EQ(::pread(fd, flipped, sizeof flipped, at + 4096), 16);
        for (char& c : flipped) c = static_cast<char>(~c);
        ASSERT_EQ(::pwrite(fd, flipped, sizeof flipped, at + 4096), 16);
        ::close(fd);
        ASSERT_TRUE(drive->MoveTo(root)) << "cannot mount the drive again";
    } else {
        ASSERT_TRUE(RewriteKeepingItsTime(rotted, "0123456789abcdef", 4096));
    }
    EXPECT_EQ(RunProgram({"--verify", listing}).out, "!\t" + rotted + "\n");

    ::utimensat(AT_FDCWD, (root + "/touched").c_str(), nullptr, 0);
    { std::ofstream(root + "/edited", std::ios::app) << "more"; }
    ::unlink((root + "/gone").c_str());
    const ProgramRun found = RunProgram({"--verify", listing});
    EXPECT_EQ(found.status, 1) << found.err;
    EXPECT_EQ(found.out, "~sm\t" + root + "/edited\n-\t" + root + "/gone\n!\t" + rotted + "\n~m\t" +
                             root + "/touched\n");
}

// What cannot be verified is said with its reason and makes the status 2: a file that cannot be
// read, a listing without hashes, a drive that is not mounted; a file replaced by a fifo is found
// ("~t", never waited on).
TEST(KeptHashes, WhatCannotBeVerifiedIsSaidWithItsReason) {
    TempDir dir;
    const std::string tree = dir / "T";
    MakeFolder(tree);
    MakeFile(tree + "/secret", "s");
    MakeFile(tree + "/pipe", "p");
    MakeFile(tree + "/plain", "x");
    ::chmod(dir.Path().c_str(), 0755);
    ::chmod(tree.c_str(), 0755);
    ::chmod((tree + "/plain").c_str(), 0644);
    ::chmod((tree + "/pipe").c_str(), 0644);
    const std::string listing = dir / "L";
    ASSERT_EQ(Save(tree, listing, {"--hash"}).status, 0);
    ::chmod(listing.c_str(), 0755);
    ::chmod((tree + "/secret").c_str(), 0600);
    ::unlink((tree + "/pipe").c_str());
    ASSERT_EQ(::mkfifo((tree + "/pipe").c_str(), 0644), 0);
    const ProgramRun run = RunProgram({"--verify", listing}, {.asNobody = ::geteuid() == 0});
    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_EQ(run.out, "~t\t" + tree + "/pipe\n");
    EXPECT_EQ(run.err, "quorvale: cannot verify \"" + tree + "/secret\": Permission denied\n");

    // A Save as someone who cannot read a file: the rest is hashed, that file is named with why on
    // stderr and in the record, and the Save is not complete (1).
    const std::string asNobody = dir / "N";
    MakeFolder(asNobody);
    ::chmod(asNobody.c_str(), 0777);
    const ProgramRun unreadable =
        RunProgram({"--save", tree, "--list-folder", asNobody + "/L", "--hash"},
                   {.asNobody = ::geteuid() == 0});
    EXPECT_EQ(unreadable.status, 1) << unreadable.err;
    EXPECT_TRUE(
        Holds(unreadable.err, "quorvale: cannot hash \"" + tree + "/secret\": Permission denied\n"))
        << unreadable.err;
    EXPECT_TRUE(Holds(ReadBytes(asNobody + "/L/quorvale-listing.json"),
                      "\"reason\": \"Permission denied\""));

    const std::string plain = dir / "P";
    ASSERT_EQ(Save(tree, plain).status, 0);
    const ProgramRun unhashed = RunProgram({"--verify", plain});
    EXPECT_EQ(unhashed.status, 2);
    EXPECT_EQ(unhashed.err, "quorvale: cannot verify \"" + plain +
                                "\": it has no hashes (it was saved without --hash)\n");

    const std::string root = dir / "drive";
    auto drive = std::make_unique<ImageMount>(dir / "drive.img", root, "STICK",
                                              "1b7c3e55-0f0a-4d2e-8a1c-5e9d2b3c4f60");
    if (!drive->WhyNot().empty()) GTEST_SKIP() << drive->WhyNot();
    MakeFile(root + "/f", "f");
    const std::string onDrive = dir / "D";
    ASSERT_EQ(Save(root, onDrive, {"--hash"}).status, 0);
    drive.reset();
    const ProgramRun away = RunProgram({"--verify", onDrive});
    EXPECT_EQ(away.status, 2);
    EXPECT_TRUE(Holds(away.err, "the drive \"STICK\" is not mounted")) << away.err;
    EXPECT_EQ(away.out, "");
}

// SHA-256 comes from libcrypto, loaded when first wanted: where it cannot be loaded, or is not the
// library it should be, a Save with --hash=sha256 says so and writes nothing (2), and one with
// XXH3 is not concerned.
TEST(KeptHashes, ASha256LibraryThatCannotBeLoadedIsSaidAndNothingIsWritten) {
    TempDir dir;
    const std::string tree = dir / "T";
    MakeFolder(tree);
    MakeFile(tree + "/f", "f");
    const std::string libraries = dir / "lib";
    MakeFolder(libraries);
    // An empty file, then a shared library that holds none of the functions wanted.
    const std::string other = LoadedLibrary("/libzstd.so");
    ASSERT_FALSE(other.empty());
    const std::string fake = libraries + "/libcrypto.so.3";
    for (const auto& [copyOf, why] : {std::pair<std::string, std::string>{"", "file too short"},
                                      {other, "libcrypto.so.3 has no EVP_MD_CTX_new"}}) {
        MakeFile(fake, copyOf.empty() ? "" : ReadBytes(copyOf));
        const std::string listing = dir / "L";
        const ProgramRun run =
            RunProgram({"--save", tree, "--list-folder", listing, "--hash=sha256"},
                       {.environment = {{"LD_LIBRARY_PATH", libraries}}});
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_TRUE(Holds(run.err, "quorvale: cannot hash with SHA-256: ")) << run.err;
        EXPECT_TRUE(Holds(run.err, why)) << run.err;
        EXPECT_FALSE(Exists(listing + "/ListTex1.txt")) << why;
        EXPECT_FALSE(Exists(listing + "/quorvale-listing.json")) << why;
        EXPECT_TRUE(LeftoverFiles(listing).empty()) << why;
        const ProgramRun xxh3 = RunProgram({"--save", tree, "--list-folder", listing, "--hash"},
                                           {.environment = {{"LD_LIBRARY_PATH", libraries}}});
        EXPECT_EQ(xxh3.status, 0) << xxh3.err;
        RemoveTree(listing);
    }
}

// A file whose times lie within a tick of its hash's reading may have changed after it was read
// and still look the same where the file system keeps coarser times: a re-listing reads it again
// rather than carry its hash, and carries the others.
TEST(KeptHashes, AFileChangedWithinATickOfItsReadingIsHashedAgain) {
    TempDir dir;
    const std::string tree = dir / "T";
    MakeFolder(tree);
    MakeFile(tree + "/old", "old bytes");
    WaitUntilOlderThanTheirTick(tree);
    MakeFile(tree + "/fresh", "fresh");
    struct stat made {};
    ASSERT_EQ(::stat((tree + "/fresh").c_str(), &made), 0);
    ASSERT_EQ(Save(tree, dir / "L0", {"--hash"}).status, 0);
    ASSERT_EQ(Save(tree, dir / "L1", {"--hash", "--reuse", dir / "L0"}).status, 0);
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    if (std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() >=
        runtime::Nanoseconds(made.st_ctim) + catalogue::kFolderTimeGranularity) {
        GTEST_SKIP() << "the machine was too slow to tell: both Saves took over a tick";
    }
    const std::string record = ReadBytes(dir / "L1/" + std::string(listing::kRecordName));
    EXPECT_TRUE(Holds(record, "\"carried\": 1,")) << record;
    EXPECT_TRUE(Holds(record, "\"bytesRead\": 5,")) << record;
}

// Earlier hashes whose rows were damaged after they were written are never carried over: the
// re-listing says so and hashes every file, as a fresh Save does. Earlier rows by size damaged
// alone are never copied: the hashes are carried and the rows by size sorted anew.
TEST(KeptHashes, DamagedEarlierHashesAreNeverCarriedOrCopied) {
    TempDir dir;
    const std::string tree = dir / "T";
    MakeFolder(tree);
    for (int i = 0; i < 30; ++i) MakeFile(tree + "/f" + std::to_string(i), std::string(i, 'x'));
    WaitUntilOlderThanTheirTick(tree);
    ASSERT_EQ(Save(tree, dir / "F", {"--hash"}).status, 0);
    const auto rowsOf = [](const std::string& file) {
        return ReadBytes(file).substr(catalogue::kHashHeaderBytes);
    };
    const auto flip = [](const std::string& file, off_t at) {
        const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
        char byte = 0;
        ASSERT_EQ(::pread(fd, &byte, 1, at), 1);
        byte = static_cast<char>(byte ^ 0x20);
        ASSERT_EQ(::pwrite(fd, &byte, 1, at), 1);
        ::close(fd);
    };
    const std::string byEntry(listing::kHashesByEntryName);
    const std::string bySize(listing::kHashesBySizeName);

    ASSERT_EQ(Save(tree, dir / "L0", {"--hash"}).status, 0);
    flip(dir / ("L0/" + byEntry), catalogue::kHashHeaderBytes + 72 * 3 + 60);
    const ProgramRun damaged = Save(tree, dir / "L1", {"--hash", "--reuse", dir / "L0"});
    EXPECT_EQ(damaged.status, 0) << damaged.err;
    EXPECT_TRUE(Holds(damaged.err,
                      "its hashes are damaged (its rows' checksum); hashing every "
                      "file"))
        << damaged.err;
    EXPECT_TRUE(
        Holds(ReadBytes(dir / ("L1/" + std::string(listing::kRecordName))), "\"carried\": 0,"));
    EXPECT_EQ(rowsOf(dir / ("L1/" + bySize)), rowsOf(dir / ("F/" + bySize)));
    EXPECT_EQ(RunProgram({"--export", "sums", dir / "L1"}).out,
              RunProgram({"--export", "sums", dir / "F"}).out);

    flip(dir / ("L1/" + bySize), catalogue::kHashHeaderBytes + 32 * 5 + 12);
    const ProgramRun carried = Save(tree, dir / "L2", {"--hash", "--reuse", dir / "L1"});
    EXPECT_EQ(carried.status, 0) << carried.err;
    EXPECT_FALSE(Holds(carried.err, "damaged")) << carried.err;
    EXPECT_TRUE(
        Holds(ReadBytes(dir / ("L2/" + std::string(listing::kRecordName))), "\"carried\": 30,"));
    EXPECT_EQ(rowsOf(dir / ("L2/" + bySize)), rowsOf(dir / ("F/" + bySize)));
    EXPECT_EQ(rowsOf(dir / ("L2/" + byEntry)), rowsOf(dir / ("L1/" + byEntry)));
}

// After rounds of random changes (content rewritten at the same size, files grown, touched,
// renamed, added and removed), a re-listing that carries hashes over from the one before holds
// exactly the hashes a fresh Save computes, and carries some.
TEST(KeptHashes, CarriedHashesAreTheFreshOnesAfterRoundsOfRandomChanges) {
    TempDir dir;
    const std::string tree = dir / "T";
    std::mt19937 random(46);
    MakeFolder(tree);
    MakeFolder(tree + "/a");
    MakeFolder(tree + "/a/b");
    const std::vector<std::string> folders = {tree, tree + "/a", tree + "/a/b"};
    std::vector<std::string> files;
    const auto addFile = [&] {
        const std::string path =
            folders[random() % folders.size()] + "/f" + std::to_string(random() % 100000);
        MakeFile(path, std::string(random() % 3000, static_cast<char>('a' + random() % 26)));
        files.push_back(path);
    };
    for (int i = 0; i < 60; ++i) addFile();
    WaitUntilOlderThanTheirTick(tree);
    std::string before = dir / "L0";
    ASSERT_EQ(Save(tree, before, {"--hash"}).status, 0);
    std::uint64_t carried = 0;
    for (int round = 1; round <= 3; ++round) {
        for (int change = 0; change < 8; ++change) {
            std::string& file = files[random() % files.size()];
            if (::access(file.c_str(), F_OK) != 0) continue;
            switch (random() % 5) {
                case 0:  // the same size, other bytes, the time put back
                    EXPECT_TRUE(RewriteKeepingItsTime(file, "#", 0));
                    break;
                case 1:
                    std::ofstream(file, std::ios::app) << "grown";
                    break;
                case 2:
                    ::utimensat(AT_FDCWD, file.c_str(), nullptr, 0);
                    break;
                case 3: {
                    const std::string moved = file + "m";
                    ::rename(file.c_str(), moved.c_str());
                    file = moved;
                    break;
                }
                default:
                    ::unlink(file.c_str());
                    addFile();
                    break;
            }
        }
        WaitUntilOlderThanTheirTick(tree);
        const std::string reused = dir / ("R" + std::to_string(round));
        const std::string fresh = dir / ("F" + std::to_string(round));
        ASSERT_EQ(Save(tree, reused, {"--hash", "--reuse", before}).status, 0);
        ASSERT_EQ(Save(tree, fresh, {"--hash"}).status, 0);
        const ProgramRun carriedSums = RunProgram({"--export", "sums", reused});
        const ProgramRun freshSums = RunProgram({"--export", "sums", fresh});
        EXPECT_EQ(carriedSums.out, freshSums.out) << "round " << round;
        const std::string record = ReadBytes(reused + "/quorvale-listing.json");
        const std::size_t at = record.find("\"carried\": ");
        ASSERT_NE(at, std::string::npos);
        carried += std::stoull(record.substr(at + 11));
        before = reused;
    }
    EXPECT_GT(carried, 100u);
}

// --compare of two listings with hashes of one algorithm adds "c" where the content differs, also
// when size and time are the same; with hashes on one side only, or of two algorithms, nothing
// about content is said.
TEST(KeptHashes, CompareTellsContentThatChangedBehindItsSizeAndTime) {
    TempDir dir;
    const std::string tree = dir / "T";
    MakeFolder(tree);
    MakeFile(tree + "/same", "aaaa");
    MakeFile(tree + "/rewritten", "bbbb");
    MakeFile(tree + "/grown", "cccc");
    ASSERT_EQ(Save(tree, dir / "before", {"--hash"}).status, 0);
    ASSERT_EQ(Save(tree, dir / "before-sha", {"--hash=sha256"}).status, 0);
    ASSERT_EQ(Save(tree, dir / "before-plain", {"--details"}).status, 0);
    ASSERT_TRUE(RewriteKeepingItsTime(tree + "/rewritten", "B", 0));
    { std::ofstream(tree + "/grown", std::ios::app) << "c"; }
    ASSERT_EQ(Save(tree, dir / "after", {"--hash"}).status, 0);
    const ProgramRun hashed = RunProgram({"--compare", dir / "before", dir / "after"});
    EXPECT_EQ(hashed.status, 1);
    EXPECT_TRUE(Holds(hashed.out, "c\t" + tree + "/grown\n")) << hashed.out;
    EXPECT_TRUE(Holds(hashed.out, "~c\t" + tree + "/rewritten\n")) << hashed.out;
    EXPECT_FALSE(Holds(hashed.out, "/same")) << hashed.out;
    for (const std::string other : {"before-sha", "before-plain"}) {
        const ProgramRun run = RunProgram({"--compare", dir / other, dir / "after"});
        EXPECT_FALSE(Holds(run.out, "c\t")) << other << ": " << run.out;
        EXPECT_FALSE(Holds(run.out, "/rewritten")) << other << ": " << run.out;
    }
}

// A signal ends a Save with hashes and a verification within a read, with its status: the Save
// leaves no hash file and no temporary file, the verification prints nothing it did not find. A
// sparse file of many GiB keeps the readers busy far longer than a signal takes to arrive.
TEST(KeptHashes, ASignalEndsHashingAndVerifyingWithinARead) {
    TempDir dir;
    const std::string tree = dir / "T";
    MakeFolder(tree);
    const auto sparse = [&tree](std::uint64_t bytes) {
        const int fd = ::open((tree + "/sparse").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(bytes)), 0);
        ::close(fd);
    };
    const auto onceReading = [](pid_t pid) {
        return BytesReadBy(std::to_string(pid)) > (64u << 20);
    };
    sparse(std::uint64_t{64} << 30);
    const std::string stopped = dir / "stopped";
    const ProgramRun save = RunProgram({"--save", tree, "--list-folder", stopped, "--hash"},
                                       {.sigtermOnceTrue = onceReading, .stopSignal = SIGTERM});
    EXPECT_EQ(save.status, 143) << save.err;
    EXPECT_FALSE(Exists(stopped + "/quorvale-hashes.bin"));
    EXPECT_FALSE(Exists(stopped + "/quorvale-listing.json"));
    EXPECT_EQ(LeftoverFiles(stopped), std::vector<std::string>{});

    ::unlink((tree + "/sparse").c_str());
    sparse(std::uint64_t{6} << 30);
    const std::string listing = dir / "L";
    ASSERT_EQ(Save(tree, listing, {"--hash"}).status, 0);
    const ProgramRun verify =
        RunProgram({"--verify", listing}, {.sigtermOnceTrue = onceReading, .stopSignal = SIGINT});
    EXPECT_EQ(verify.status, 130) << verify.err;
    EXPECT_EQ(verify.out, "");
}

}  // namespace
}  // namespace quorvale::test
