// The sizes a Save keeps, through their writer and reader: folder totals of a nested tree against
// the tests' own sums, the root's total counting a file of several links once also when the files
// with links are more than the writer holds and spill to its scratch file in runs, every entry
// read back across frames, and a damaged frame, row or header told as damage, never a figure.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "catalogue/listing_tree.h"
#include "catalogue/size_file.h"
#include "reading/posix_file_system.h"
#include "runtime/runtime_error.h"
#include "save/listing_save.h"
#include "support/bytes_output.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

runtime::UniqueFd ScratchIn(const TempDir& dir) {
    return runtime::UniqueFd(::open(dir.Path().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
}

runtime::UniqueFd Written(const TempDir& dir, const std::string& bytes) {
    MakeFile(dir / "sizes", bytes);
    return runtime::UniqueFd(::open((dir / "sizes").c_str(), O_RDONLY | O_CLOEXEC));
}

struct Entry {
    std::string path;
    bool folder;
    reading::EntryDetails details;
};

// A root, 40 folders at random depths, and files among them of which some share an inode (as
// hard links do, more of them than the writer holds); the tests' own totals of each folder.
std::vector<Entry> RandomTree(std::mt19937& random, std::size_t files) {
    std::vector<std::string> folders = {"/r"};
    for (int i = 0; i < 40; ++i)
        folders.push_back(folders[random() % folders.size()] + "/f" + std::to_string(i));
    std::vector<Entry> entries;
    for (const std::string& folder : folders) {
        reading::EntryDetails details;
        details.type = 'd';
        details.size = 4096;
        details.blocks = 8;
        entries.push_back({folder, true, details});
        for (std::size_t i = 0; i < files / folders.size(); ++i) {
            details.type = 'f';
            details.inode = random() % (files / 2);  // many share one, as links of one file do
            details.links = details.inode % 3 == 0 ? 1 : 2;
            if (details.links == 1) details.inode += files;  // a file alone
            details.size = details.inode * 7919 % 100000;
            details.blocks = details.inode % 300;
            entries.push_back({folder + "/n" + std::to_string(i), false, details});
        }
    }
    // Depth first, a folder before everything below it, as a listing lies.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        const std::string& x = a.folder ? a.path : a.path.substr(0, a.path.rfind('/'));
        const std::string& y = b.folder ? b.path : b.path.substr(0, b.path.rfind('/'));
        return x + "/" < y + "/";
    });
    return entries;
}

TEST(SizeTotals, FoldersAndTheRootAreTheSumsOfWhatTheyHold) {
    for (const std::size_t files : {std::size_t{300}, catalogue::SizesWriter::kLinkedHeld * 3}) {
        SCOPED_TRACE(files);
        TempDir dir;
        std::mt19937 random(static_cast<unsigned>(files));
        const std::vector<Entry> entries = RandomTree(random, files);
        catalogue::SizesWriter writer(ScratchIn(dir));
        std::map<std::string, std::uint64_t> bytes;   // by folder, each link
        std::map<std::uint64_t, std::uint64_t> once;  // by inode
        std::uint64_t rootOnce = 0;
        for (const Entry& entry : entries) {
            writer.Add(entry.path, entry.folder, &entry.details);
            for (const auto& [folder, total] : bytes) {
                if (entry.path.starts_with(folder + "/")) bytes[folder] += entry.details.size;
            }
            if (entry.folder) bytes[entry.path] = entry.details.size;
            if (entry.details.links > 1) {
                once[entry.details.inode] = entry.details.size;
            } else {
                rootOnce += entry.details.size;
            }
        }
        for (const auto& [inode, size] : once) rootOnce += size;
        BytesOutput out;
        writer.Finish(7, catalogue::SaveIdentity{}, out);
        const catalogue::KeptSizes sizes(Written(dir, out.bytes), 7, catalogue::SaveIdentity{});
        EXPECT_EQ(sizes.RootBytesOnce(), rootOnce);
        ASSERT_EQ(sizes.Entries(), entries.size());
        std::vector<catalogue::EntrySize> read;
        sizes.EntrySizes(0, entries.size(), read);
        std::uint64_t folder = 0;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            ASSERT_EQ(read[i].bytes, entries[i].details.size) << i;
            ASSERT_EQ(read[i].blocks, entries[i].details.blocks) << i;
            if (!entries[i].folder) continue;
            const catalogue::FolderTotals totals = sizes.Folder(folder++);
            EXPECT_EQ(totals.entry, i);
            EXPECT_EQ(totals.bytes, bytes[entries[i].path]) << entries[i].path;
        }
        EXPECT_EQ(folder, sizes.Folders());
        EXPECT_EQ(sizes.Folder(0).folders, 40u);
    }
}

TEST(SizeTotals, DamageIsToldAsDamage) {
    TempDir dir;
    std::mt19937 random(9);
    const std::vector<Entry> entries = RandomTree(random, 20000);
    catalogue::SizesWriter writer;
    for (const Entry& entry : entries) writer.Add(entry.path, entry.folder, &entry.details);
    BytesOutput out;
    writer.Finish(7, catalogue::SaveIdentity{}, out);
    const auto readAll = [&](const std::string& bytes, std::uint64_t lines) {
        const catalogue::KeptSizes sizes(Written(dir, bytes), lines, catalogue::SaveIdentity{});
        std::vector<catalogue::EntrySize> read;
        sizes.EntrySizes(0, sizes.Entries(), read);
        for (std::uint64_t folder = 0; folder < sizes.Folders(); ++folder) sizes.Folder(folder);
    };
    EXPECT_NO_THROW(readAll(out.bytes, 7));
    const std::vector<std::size_t> places = {
        3, 50, 100, 200, out.bytes.size() / 2, out.bytes.size() - 30, out.bytes.size() - 2};
    for (const std::size_t at : places) {
        SCOPED_TRACE(at);
        std::string damaged = out.bytes;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x11);
        try {
            readAll(damaged, 7);
            ADD_FAILURE() << "read as whole";
        } catch (const runtime::RuntimeError& error) {
            EXPECT_NE(std::string(error.what()).find("its sizes are damaged"), std::string::npos)
                << error.what();
        }
    }
    EXPECT_THROW(readAll(out.bytes, 8), runtime::RuntimeError);  // another Save's
    EXPECT_THROW(readAll(out.bytes.substr(0, out.bytes.size() - 1), 7), runtime::RuntimeError);
}

// A Save with details, in the process (the sizes made on the index's builder thread beside the
// walk): its tree's totals read back through the folder tree, against the tests' own walk.
TEST(SizeTotals, ASavesTreeHoldsWhatItsFoldersHold) {
    TempDir dir;
    const std::string tree = dir / "T";
    std::map<std::string, std::uint64_t> sizes;  // of each folder's own files, by folder
    for (int folder = 0; folder < 30; ++folder) {
        const std::string path = folder == 0  ? tree
                                 : folder < 5 ? tree + "/f" + std::to_string(folder)
                                              : tree + "/f" + std::to_string(folder % 4 + 1) +
                                                    "/g" + std::to_string(folder);
        MakeFolder(path);
        for (int file = 0; file < folder * 70; ++file) {
            MakeFile(path + "/n" + std::to_string(file), std::string(file % 97, 'x'));
        }
    }
    reading::PosixFileSystem fs;
    Lister lister(fs);
    reading::ListingOptions options;
    options.details = true;
    lister.core.SetOptions(options);
    save::SaveListing(lister.core, lister.runtime, tree);
    const catalogue::ListingTree listed(lister.programFolder.Path(), "read");
    // Every folder's total is its own size and its files' and its subfolders' totals.
    const std::function<std::uint64_t(std::uint64_t, const std::string&)> check =
        [&](std::uint64_t folder, const std::string& path) {
            struct stat st {};
            EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
            std::uint64_t total = static_cast<std::uint64_t>(st.st_size);
            for (const catalogue::TreeRow& row : listed.Children(folder)) {
                const std::string below = path + "/" + row.name;
                if (row.folder) {
                    total += check(row.number, below);
                } else {
                    EXPECT_EQ(::lstat(below.c_str(), &st), 0) << below;
                    EXPECT_EQ(row.bytes, static_cast<std::uint64_t>(st.st_size)) << below;
                    total += row.bytes;
                }
            }
            EXPECT_EQ(listed.Sizes().Folder(folder).bytes, total) << path;
            EXPECT_EQ(listed.PathOf(folder), path);
            EXPECT_EQ(listed.FolderAt(path), std::optional<std::uint64_t>(folder));
            return total;
        };
    EXPECT_EQ(check(0, tree), listed.Root().bytes);
    EXPECT_EQ(listed.Root().files, 30u * 29 / 2 * 70);
    EXPECT_EQ(listed.Root().folders, 29u);
}

}  // namespace
}  // namespace quorvale::test
