// The catalogue a Save keeps without --list-folder: one place per drive and root, found by
// --find, listed by --listings, a note per drive, a listing forgotten whole; drives known by
// their label and UUID without udev; a file system's own lost+found no hole in a drive's listing.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "catalogue/kept_listing.h"
#include "listing/list_file_name.h"
#include "runtime/file_system_facts.h"
#include "runtime/folder_lock.h"
#include "support/program_run.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

using support::TempDir;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    for (std::size_t end; (end = line.find('\t', at)) != std::string::npos; at = end + 1) {
        fields.push_back(line.substr(at, end - at));
    }
    fields.push_back(line.substr(at));
    return fields;
}

// The folders in `path` (links and dot names left out).
std::vector<std::string> FoldersIn(const std::string& path) {
    std::vector<std::string> names;
    DIR* folder = ::opendir(path.c_str());
    if (folder == nullptr) return names;
    while (const dirent* entry = ::readdir(folder)) {
        struct stat st {};
        const std::string name = entry->d_name;
        if (name.front() != '.' && ::lstat((path + "/" + name).c_str(), &st) == 0 &&
            S_ISDIR(st.st_mode)) {
            names.push_back(name);
        }
    }
    ::closedir(folder);
    std::sort(names.begin(), names.end());
    return names;
}

class DriveCatalogue : public ::testing::Test {
  protected:
    // Every run shares one data folder: the catalogue lives across them.
    ProgramRun Run(const std::vector<std::string>& args, RunOptions options = {}) {
        options.environment.emplace_back("XDG_DATA_HOME", data);
        return RunProgram(args, options);
    }
    std::string Catalogue() const { return data + "/quorvale/catalogue"; }

    TempDir dir;
    const std::string data = dir / "data";
};

// Three drives saved with no list folder (two sticks of one label, and a home folder with odd
// names): each keeps a place of its own, all are found and listed, two Saves are kept per place,
// a note is shown, a name that means two drives is refused, and a listing is forgotten whole.
TEST_F(DriveCatalogue, ThreeDrivesAreKeptFoundListedAndOneForgotten) {
    // Two sticks where loop devices can be mounted; two folders on this file system elsewhere.
    std::unique_ptr<ImageMount> first = std::make_unique<ImageMount>(
        dir / "one.img", dir / "stick1", "USB DISK", "6b1d7c52-0d8e-4a34-9a1f-1c2f3e4d5a61");
    std::unique_ptr<ImageMount> second = std::make_unique<ImageMount>(
        dir / "two.img", dir / "stick2", "USB DISK", "6b1d7c52-0d8e-4a34-9a1f-1c2f3e4d5a62");
    const bool sticks = first->WhyNot().empty() && second->WhyNot().empty();
    if (!sticks) {
        MakeFolder(dir / "stick1");
        MakeFolder(dir / "stick2");
    }
    const std::string home = dir / "home/odd";
    MakeFolder(dir / "stick1/Holiday");
    MakeFile(dir / "stick1/Holiday/beach.jpg");
    MakeFile(dir / "stick2/Work.txt");
    MakeFolder(dir / "home");
    MakeFolder(home);
    MakeFile(home + "/line\nbreak");
    for (const std::string& drive : {dir / "stick1", dir / "stick2", home}) {
        const ProgramRun saved = Run({"--save", drive});
        ASSERT_EQ(saved.status, 0) << drive << saved.err;
        EXPECT_EQ(saved.out, "ListTex 1 To 1 Saved\n");
    }
    EXPECT_EQ(FoldersIn(Catalogue()).size(), 3u);
    // The first drive is still found once the others were saved.
    const ProgramRun found = Run({"--find", "Holiday"});
    EXPECT_EQ(found.status, 0) << found.err;
    EXPECT_EQ(found.out, dir / "stick1/Holiday/\n" + dir / "stick1/Holiday/beach.jpg\n");
    const ProgramRun listed = Run({"--listings"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    const std::vector<std::string> lines = Lines(listed.out);
    ASSERT_EQ(lines.size(), 3u) << listed.out;
    std::vector<std::string> roots;
    for (const std::string& line : lines) {
        const std::vector<std::string> fields = Fields(line);
        ASSERT_EQ(fields.size(), 10u) << line;
        roots.push_back(fields[1]);
        EXPECT_EQ(fields[4], "complete") << line;
        if (sticks && fields[1] != home) {
            EXPECT_EQ(fields[0], "USB DISK") << line;
        }
    }
    std::sort(roots.begin(), roots.end());
    EXPECT_EQ(roots, (std::vector<std::string>{home, dir / "stick1", dir / "stick2"}));
    // A note of the first drive, shown beside its listing.
    std::string firstListing;  // the first stick's
    for (const std::string& line : lines) {
        if (Fields(line)[1] == dir / "stick1") firstListing = Fields(line)[9];
    }
    ASSERT_FALSE(firstListing.empty());
    EXPECT_EQ(Run({"--note", firstListing, "shelf 3, blue box"}).status, 0);
    EXPECT_TRUE(Holds(Run({"--listings"}).out, "\tshelf 3, blue box\t" + firstListing + "\n"));
    const ProgramRun where = Run({"--find", "beach", "--where"});
    EXPECT_TRUE(where.out.starts_with(firstListing + "\t") &&
                where.out.ends_with("Z\tshelf 3, blue box\t" + dir / "stick1/Holiday/beach.jpg\n"))
        << where.out;
    // Saved again and again, reusing the drive's latest: two generations are kept.
    const std::string place = firstListing.substr(0, firstListing.rfind('/'));
    for (int round = 0; round < 3; ++round) {
        const ProgramRun again = Run({"--save", dir / "stick1", "--reuse"});
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_EQ(again.err, "");
    }
    EXPECT_EQ(FoldersIn(place).size(), 2u);
    struct stat mode {};
    ASSERT_EQ(::stat(Catalogue().c_str(), &mode), 0);
    EXPECT_EQ(mode.st_mode & 0777, 0700u);  // names of files are no one else's business
    const catalogue::ListingRecord latest =
        catalogue::KeptListing(place + "/latest", "read").Record();
    EXPECT_TRUE(latest.complete);
    // Forgetting the latest makes the one before it the latest.
    char target[256] = {};
    ASSERT_GT(::readlink((place + "/latest").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(Run({"--forget", place + "/latest"}).status, 0);
    EXPECT_FALSE(Exists(place + "/" + target));
    EXPECT_EQ(FoldersIn(place).size(), 1u);
    EXPECT_EQ(catalogue::KeptListing(place + "/latest", "read").Record().root, latest.root);
    // Two drives of one label: the name is refused, with both listings named.
    if (sticks) {
        const ProgramRun both = Run({"--export", "paths", "USB DISK"});
        EXPECT_EQ(both.status, 2);
        EXPECT_TRUE(Holds(both.err, "\"USB DISK\" names the listings of 2 drives")) << both.err;
    }
    // Paths NUL-ended, with a line break in a name as itself: what xargs -0 hands stat is there.
    const std::string command = "XDG_DATA_HOME='" + data + "' '" + QUORVALE_PROGRAM +
                                "' --find -0 break | xargs -0 stat --printf '%n\\0'";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string stated;
    char buffer[512];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        stated.append(buffer, n);
    }
    EXPECT_EQ(::pclose(pipe), 0);
    EXPECT_EQ(stated, home + "/line\nbreak" + std::string(1, '\0'));
    // Forgotten: gone from the catalogue, whole, and from every search.
    const std::string homeListing = Fields(lines[2])[1] == home   ? Fields(lines[2])[9]
                                    : Fields(lines[1])[1] == home ? Fields(lines[1])[9]
                                                                  : Fields(lines[0])[9];
    const std::size_t kept = Lines(Run({"--listings"}).out).size();
    EXPECT_EQ(Run({"--forget", homeListing}).status, 0);
    EXPECT_FALSE(Exists(homeListing));
    EXPECT_EQ(Lines(Run({"--listings"}).out).size(), kept - 1);
    EXPECT_EQ(Run({"--find", "break"}).status, 1);
    EXPECT_EQ(Run({"--forget", homeListing}).status, 2);
}

// A Save that cannot list its folder leaves nothing in the catalogue; with no earlier listing,
// --reuse says so and reads every folder.
TEST_F(DriveCatalogue, AFailedSaveLeavesNothingAndAFirstReuseReadsAll) {
    const ProgramRun missing = Run({"--save", dir / "gone"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.out, "Not Saved\n");
    EXPECT_TRUE(FoldersIn(Catalogue()).empty());
    MakeFolder(dir / "tree");
    MakeFolder(dir / "tree/a");
    const ProgramRun first = Run({"--save", dir / "tree", "--reuse"});
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_TRUE(Holds(first.err, "no earlier listing of")) << first.err;
    // While a place is locked by one Save, another Save of it says so and writes nothing.
    const std::vector<std::string> places = FoldersIn(Catalogue());
    ASSERT_EQ(places.size(), 1u);
    {
        const runtime::FolderLock held(Catalogue() + "/" + places[0]);
        const ProgramRun locked = Run({"--save", dir / "tree"});
        EXPECT_EQ(locked.status, 2);
    }
    EXPECT_EQ(FoldersIn(Catalogue() + "/" + places[0]).size(), 1u);
    // A folder named from the Save's working folder, with "..": kept by its real path, so that the
    // next Save of it, started anywhere and named anyhow, finds its place and reuses it.
    RunOptions fromDir;
    fromDir.workingFolder = dir.Path();
    ASSERT_EQ(Run({"--save", "tree"}, fromDir).status, 0);
    EXPECT_TRUE(ReadBytes(Catalogue() + "/" + FoldersIn(Catalogue())[0] + "/latest/" +
                          listing::ListFileName(1))
                    .starts_with(dir / "tree\r\n"));
    RunOptions fromTree;
    fromTree.workingFolder = dir / "tree/a";
    const ProgramRun again = Run({"--save", "..", "--reuse"}, fromTree);
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.err, "");
    EXPECT_TRUE(Holds(ReadBytes(Catalogue() + "/" + FoldersIn(Catalogue())[0] + "/latest/" +
                                std::string(listing::kRecordName)),
                      "\"foldersReused\""));
}

// Without /dev/disk (no udev) a drive's label and UUID come from the drive itself, and a drive
// mounted elsewhere later is the same drive: its place, and where it is now.
TEST_F(DriveCatalogue, ADriveIsKnownByItsLabelAndUuidWithoutUdev) {
    const std::string uuid = "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d";
    ImageMount stick(dir / "stick.img", dir / "here", "PHOTOS", uuid);
    if (!stick.WhyNot().empty()) GTEST_SKIP() << stick.WhyNot();
    MakeFile(dir / "here/a.jpg");
    // /dev/disk hidden (where there is one) in a mount namespace of the Save's own.
    const std::string save =
        "unshare -m sh -c 'mount -t tmpfs none /dev/disk 2>/dev/null; "
        "XDG_DATA_HOME=\"" +
        data + "\" \"" + QUORVALE_PROGRAM + "\" --save \"$0\" >/dev/null' ";
    ASSERT_EQ(std::system((save + "'" + dir / "here" + "'").c_str()), 0);
    const std::vector<std::string> places = FoldersIn(Catalogue());
    ASSERT_EQ(places.size(), 1u);
    EXPECT_TRUE(places[0].starts_with("PHOTOS.")) << places[0];
    const catalogue::ListingRecord record =
        catalogue::KeptListing(Catalogue() + "/" + places[0] + "/latest", "read").Record();
    EXPECT_EQ(record.fileSystem.label, "PHOTOS");
    EXPECT_EQ(record.fileSystem.uuid, uuid);
    EXPECT_TRUE(record.fileSystem.identifiedBy == "blkid" ||
                record.fileSystem.identifiedBy == "udev")
        << record.fileSystem.identifiedBy;
    EXPECT_GT(record.fileSystem.capacity, 10'000'000u);
    // Mounted elsewhere: found there, and its next Save goes to the same place.
    ASSERT_TRUE(stick.MoveTo(dir / "there"));
    EXPECT_EQ(runtime::MountPointOfDrive(uuid, ""), dir / "there");
    ASSERT_EQ(std::system((save + "'" + dir / "there" + "'").c_str()), 0);
    EXPECT_EQ(FoldersIn(Catalogue()), places);
    EXPECT_EQ(FoldersIn(Catalogue() + "/" + places[0]).size(), 2u);

    // Where libblkid cannot be loaded (not there, or not the library it should be), the drive is
    // known from its mounted file system alone.
    const std::string libraries = dir / "lib";
    MakeFolder(libraries);
    const std::string other = LoadedLibrary("/libzstd.so");
    ASSERT_FALSE(other.empty());
    for (const std::string& copyOf : {std::string(), other}) {
        MakeFile(libraries + "/libblkid.so.1", copyOf.empty() ? "" : ReadBytes(copyOf));
        const std::string listing = dir / (copyOf.empty() ? "empty" : "other");
        const std::string kernelOnly =
            "unshare -m sh -c 'mount -t tmpfs none /dev/disk 2>/dev/null; LD_LIBRARY_PATH=\"" +
            libraries + "\" \"" + QUORVALE_PROGRAM +
            "\" --save \"$0\" --list-folder \"$1\" >/dev/null' ";
        ASSERT_EQ(std::system((kernelOnly + "'" + dir / "there" + "' '" + listing + "'").c_str()),
                  0);
        const catalogue::ListingRecord kernel = catalogue::KeptListing(listing, "read").Record();
        EXPECT_EQ(kernel.fileSystem.identifiedBy, "kernel");
        EXPECT_EQ(kernel.fileSystem.label, "PHOTOS");
    }
}

// A user who may not read the file system's own lost+found lists the drive whole: the list files
// as ever (its denial line included), the record naming it, exit 0, and the listing reused.
TEST_F(DriveCatalogue, ADeniedLostAndFoundIsNoHoleInTheDrive) {
    ImageMount stick(dir / "stick.img", dir / "stick", "BACKUP",
                     "11111111-2222-4333-8444-555555555555");
    if (!stick.WhyNot().empty()) GTEST_SKIP() << stick.WhyNot();
    MakeFolder(dir / "stick/photos");
    MakeFile(dir / "stick/photos/a.jpg");
    MakeFolder(data);
    // A folder is reused once its times are older than the reading of it by the clock's grain.
    struct stat made {};
    ASSERT_EQ(::lstat((dir / "stick").c_str(), &made), 0);
    ASSERT_TRUE(WaitUntil(
        [&made] {
            const auto now = std::chrono::system_clock::now().time_since_epoch();
            return std::chrono::duration_cast<std::chrono::seconds>(now).count() >
                   made.st_ctim.tv_sec + 2;
        },
        60));
    ::chmod(data.c_str(), 0777);
    const RunOptions asNobody{.asNobody = true};
    const ProgramRun saved = Run({"--save", dir / "stick"}, asNobody);
    EXPECT_EQ(saved.status, 0) << saved.err;
    EXPECT_EQ(saved.err, "");
    const std::vector<std::string> places = FoldersIn(Catalogue());
    ASSERT_EQ(places.size(), 1u);
    const std::string latest = Catalogue() + "/" + places[0] + "/latest";
    EXPECT_TRUE(Holds(ReadBytes(latest + "/" + listing::ListFileName(1)),
                      "\t" + dir / "stick/lost+found\r\nPermission Denied\r\n"));
    const std::string record = ReadBytes(latest + "/" + std::string(listing::kRecordName));
    EXPECT_TRUE(Holds(record, "\"complete\": true")) << record;
    EXPECT_TRUE(Holds(record, "\"reason\": \"the file system's own folder, not readable\""));
    const ProgramRun reused = Run({"--save", dir / "stick", "--reuse"}, asNobody);
    EXPECT_EQ(reused.status, 0) << reused.err;
    EXPECT_EQ(reused.err, "");
    EXPECT_TRUE(
        Holds(ReadBytes(latest + "/" + std::string(listing::kRecordName)), "\"foldersReused\": 2"));
    // Whoever may read it lists it as any folder.
    const ProgramRun asRoot = Run({"--save", dir / "stick", "--list-folder", dir / "as-root"});
    EXPECT_EQ(asRoot.status, 0);
    EXPECT_FALSE(Holds(ReadBytes(dir / "as-root/" + listing::ListFileName(1)), "Permission"));
    // A folder of that name anywhere else is any folder: denied, it leaves the drive incomplete.
    MakeFolder(dir / "stick/photos/lost+found");
    ::chmod((dir / "stick/photos/lost+found").c_str(), 0700);
    const ProgramRun nested = Run({"--save", dir / "stick"}, asNobody);
    EXPECT_EQ(nested.status, 1) << nested.err;
    EXPECT_TRUE(Holds(nested.err, dir / "stick/photos/lost+found")) << nested.err;
}

}  // namespace
}  // namespace quorvale::test
