// Makes a kept listing of a large made-up drive with the program's own writers, without a file on
// disk but the listing's: a Save (list files, details, index, record) of a tree that lives in
// memory, then its content hashes (made-up ones, 16 bytes a content) written by the hash files'
// writer and named in its record. For the benchmarks of --duplicates and --compare on listings of
// millions of files (bench/copies.sh).
//
//   listing_maker OUT --drive N [--top T] [--sub S] [--files F] [--moved]
//
// The drive holds T top folders of S folders of F files (100 x 100 x 100, but see below). What
// the benchmark plants and then checks the answers against:
//   - the last top folder is the same on every drive (names and contents): one group of folders;
//   - file 7 of each other folder holds one of 5,000 contents every drive shares;
//   - every other file holds a content of its own.
// Files 10 and 11 of the second half of the folders of each top folder are left out (990,000
// files by default). With --moved the same drive is made as it is after moves: files 10 and 11 of
// the first half moved to the folders of the second half, the same names (10,000 files), file 20
// of the first 10 folders renamed (1,000), and the last folder of each top folder moved into the
// next top folder (100 folders).
#include <fcntl.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "catalogue/hash_file.h"
#include "catalogue/kept_listing.h"
#include "catalogue/listing_record.h"
#include "listing/list_file_name.h"
#include "listing/listing_buffer.h"
#include "listing/listing_core.h"
#include "reading/file_system.h"
#include "runtime/runtime_services.h"
#include "runtime/text_output.h"
#include "save/listing_save.h"

namespace {

using namespace quorvale;

constexpr std::int64_t kEpoch = 1700000000;

std::uint64_t Mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

struct FileNode {
    std::string name;
    std::uint64_t inode = 0;
    std::uint64_t content = 0;
    std::uint64_t Size() const { return 1 + content % 65536; }
    std::int64_t Modified() const { return kEpoch + static_cast<std::int64_t>(content % 100000); }
    std::string Hash() const {
        std::string hash(16, '\0');
        const std::uint64_t second = Mix(content);
        std::memcpy(hash.data(), &content, 8);
        std::memcpy(hash.data() + 8, &second, 8);
        return hash;
    }
};

struct FolderNode {
    std::string name;
    std::string path;
    std::uint64_t inode = 0;
    std::vector<FileNode> files;    // by name
    std::vector<FolderNode*> subs;  // by name
};

struct Drive {
    int number = 0;
    std::uint64_t device = 0;
    std::vector<std::unique_ptr<FolderNode>> folders;
    std::map<std::string, FolderNode*> byPath;
    FolderNode* root = nullptr;

    FolderNode* Add(const std::string& name, std::uint64_t inode) {
        folders.push_back(std::make_unique<FolderNode>());
        folders.back()->name = name;
        folders.back()->inode = inode;
        return folders.back().get();
    }
    void Place(FolderNode* folder, const std::string& path) {
        folder->path = path;
        byPath[path] = folder;
        std::sort(folder->files.begin(), folder->files.end(),
                  [](const FileNode& a, const FileNode& b) { return a.name < b.name; });
        std::sort(folder->subs.begin(), folder->subs.end(),
                  [](const FolderNode* a, const FolderNode* b) { return a->name < b->name; });
        for (FolderNode* sub : folder->subs) Place(sub, path + "/" + sub->name);
    }
};

std::string Named(char letter, int number) {
    char text[16];
    std::snprintf(text, sizeof text, "%c%03d", letter, number);
    return text;
}

Drive MakeDrive(int number, int top, int sub, int files, bool moved) {
    Drive drive;
    drive.number = number;
    drive.device = makedev(253, static_cast<unsigned>(number));
    drive.root = drive.Add("", 2);
    std::vector<std::vector<FolderNode*>> leaves(static_cast<std::size_t>(top));
    std::vector<FolderNode*> tops;
    for (int k = 0; k < top; ++k) {
        FolderNode* t = drive.Add(Named('t', k), 1000000000ull + static_cast<std::uint64_t>(k));
        drive.root->subs.push_back(t);
        tops.push_back(t);
        for (int j = 0; j < sub; ++j) {
            const std::uint64_t leaf = static_cast<std::uint64_t>(k) * sub + j;
            FolderNode* s = drive.Add(Named('s', j), 2000000000ull + leaf);
            t->subs.push_back(s);
            leaves[k].push_back(s);
            for (int f = 0; f < files; ++f) {
                // Files 10 and 11 of the second half of the folders are the ones moved there.
                if (j >= sub / 2 && (f == 10 || f == 11)) continue;
                FileNode file{Named('f', f), 100 + leaf * files + f, 0};
                if (k == top - 1) {
                    file.content = Mix(0x5a3e0000000000ull + leaf % sub * files + f);
                } else if (f == 7) {
                    file.content = Mix(0x5ba4ed00000000ull + leaf % 5000);
                } else {
                    file.content =
                        Mix((static_cast<std::uint64_t>(number) << 40) + leaf * files + f);
                }
                s->files.push_back(file);
            }
        }
    }
    if (moved) {
        for (int k = 0; k < top; ++k) {
            std::vector<FolderNode*>& s = leaves[k];
            // Files 10 and 11 of each folder of the first half move to its peer of the second.
            for (int j = 0; j < sub / 2; ++j) {
                auto& own = s[j]->files;
                for (auto at = own.begin(); at != own.end();) {
                    if (at->name == "f010" || at->name == "f011") {
                        s[j + sub / 2]->files.push_back(*at);
                        at = own.erase(at);
                    } else {
                        ++at;
                    }
                }
            }
            for (int j = 0; j < std::min(10, sub); ++j) {
                for (FileNode& file : s[j]->files) {
                    if (file.name == "f020") file.name = "f020-renamed";
                }
            }
            // The last folder moves into the next top folder.
            FolderNode* last = s.back();
            auto& subs = tops[k]->subs;
            subs.erase(std::find(subs.begin(), subs.end(), last));
            last->name = "moved-from-" + Named('t', k);
            tops[(k + 1) % top]->subs.push_back(last);
        }
    }
    drive.Place(drive.root, "/bench/drive" + std::to_string(number));
    return drive;
}

class Listed final : public reading::Enumeration {
  public:
    Listed(const FolderNode& folder, bool files, const Drive& drive)
        : folder_(folder), files_(files), drive_(drive) {}
    bool AtEnd() const override {
        return at_ == (files_ ? folder_.files.size() : folder_.subs.size());
    }
    std::string_view Current() const override {
        return files_ ? std::string_view(folder_.files[at_].name)
                      : std::string_view(folder_.subs[at_]->name);
    }
    void Next() override { ++at_; }
    bool CurrentDetails(reading::EntryDetails& details) const override {
        if (files_) {
            const FileNode& file = folder_.files[at_];
            details.type = 'f';
            details.size = file.Size();
            details.modified = file.Modified();
            details.inode = file.inode;
            details.modifiedNs = details.changedNs = file.Modified() * 1000000000;
        } else {
            details.type = 'd';
            details.size = 4096;
            details.modified = kEpoch;
            details.inode = folder_.subs[at_]->inode;
            details.modifiedNs = details.changedNs = kEpoch * 1000000000;
        }
        details.device = drive_.device;
        return true;
    }
    char CurrentKind() const override { return files_ ? 'f' : 'd'; }

  private:
    const FolderNode& folder_;
    bool files_;
    const Drive& drive_;
    std::size_t at_ = 0;
};

class MadeFolder final : public reading::Folder {
  public:
    MadeFolder(const FolderNode& folder, const Drive& drive) : folder_(folder), drive_(drive) {}
    std::string Path() const override { return folder_.path; }
    std::unique_ptr<reading::Enumeration> Files() override {
        return std::make_unique<Listed>(folder_, true, drive_);
    }
    std::unique_ptr<reading::Enumeration> SubFolders() override {
        return std::make_unique<Listed>(folder_, false, drive_);
    }
    std::unique_ptr<reading::Folder> OpenSubFolder(std::string_view name) override {
        for (const FolderNode* sub : folder_.subs) {
            if (sub->name == name) return std::make_unique<MadeFolder>(*sub, drive_);
        }
        return nullptr;
    }
    reading::FolderIdentity Identity() const override {
        return {drive_.device, folder_.inode, true};
    }
    bool Details(reading::EntryDetails& details) const override {
        details.type = 'd';
        details.size = 4096;
        details.modified = kEpoch;
        details.device = drive_.device;
        details.inode = folder_.inode;
        return true;
    }
    reading::FolderStamp Stamp() const override {
        return {drive_.device,
                folder_.inode,
                kEpoch * 1000000000,
                kEpoch * 1000000000,
                (kEpoch + 10) * 1000000000,
                true,
                false};
    }
    std::optional<runtime::FileSystemFacts> DescribeFileSystem() const override {
        runtime::FileSystemFacts facts;
        facts.type = "ext4";
        facts.device = "253:" + std::to_string(drive_.number);
        facts.source = "/dev/bench" + std::to_string(drive_.number);
        facts.uuid = "00000000-0000-4000-8000-" + std::to_string(100000000000 + drive_.number);
        facts.label = "BENCH" + std::to_string(drive_.number);
        facts.mountPoint = drive_.root->path;
        return facts;
    }
    char Kind() const override { return 'd'; }

  private:
    const FolderNode& folder_;
    const Drive& drive_;
};

class MadeFileSystem final : public reading::FileSystem {
  public:
    explicit MadeFileSystem(const Drive& drive) : drive_(drive) {}
    std::unique_ptr<reading::Folder> GetFolder(const std::string& path) override {
        const auto found = drive_.byPath.find(path);
        if (found == drive_.byPath.end()) return nullptr;
        return std::make_unique<MadeFolder>(*found->second, drive_);
    }

  private:
    const Drive& drive_;
};

// Writes the hash files of the listing in `out` and names them in its record.
void WriteHashes(const std::string& out, const Drive& drive) {
    catalogue::KeptListing listing(out, "hash");
    catalogue::ListingRecord record = listing.Record();
    catalogue::HashFileWriter writer(reading::HashAlgorithm::kXxh3, {}, {});
    const FolderNode* folder = nullptr;
    while (std::optional<catalogue::KeptEntry> entry = listing.Next()) {
        if (!entry->isFile) {
            folder = drive.byPath.at(std::string(entry->folderPath));
            continue;
        }
        const auto file = std::lower_bound(
            folder->files.begin(), folder->files.end(), entry->name,
            [](const FileNode& a, std::string_view name) { return a.name < name; });
        const std::int64_t modified = file->Modified() * 1000000000;
        writer.Add({entry->line, file->Size(), drive.device, file->inode, modified, modified,
                    modified + 1, file->Hash()});
    }
    const runtime::UniqueFd folderFd(::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    runtime::FileTextOutput byEntry(folderFd.Get(), std::string(listing::kHashesByEntryName),
                                    out + "/hashes", runtime::Durability::kUnsynced);
    runtime::FileTextOutput bySize(folderFd.Get(), std::string(listing::kHashesBySizeName),
                                   out + "/by size", runtime::Durability::kUnsynced);
    writer.Finish(record.lines, *record.indexSave, byEntry, bySize);
    byEntry.Close();
    bySize.Close();
    record.hashes.emplace();
    record.hashes->algorithm = reading::HashAlgorithm::kXxh3;
    record.hashes->byEntry = listing::kHashesByEntryName;
    record.hashes->bySize = listing::kHashesBySizeName;
    record.hashes->files = writer.Rows();
    record.options.details = true;
    record.options.hash = reading::HashAlgorithm::kXxh3;
    std::string text = catalogue::RecordText(record);
    text.pop_back();
    runtime::FileTextOutput recordOut(folderFd.Get(), std::string(listing::kRecordName),
                                      out + "/record", runtime::Durability::kUnsynced);
    recordOut.PrintLine(text);
    recordOut.Close();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr
            << "usage: listing_maker OUT --drive N [--top T] [--sub S] [--files F] [--moved]\n";
        return 2;
    }
    const std::string out = argv[1];
    int number = 0;
    int top = 100;
    int sub = 100;
    int files = 100;
    bool moved = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&] { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (arg == "--drive") number = value();
        if (arg == "--top") top = value();
        if (arg == "--sub") sub = value();
        if (arg == "--files") files = value();
        if (arg == "--moved") moved = true;
    }
    try {
        const Drive drive = MakeDrive(number, top, sub, files, moved);
        MadeFileSystem fileSystem(drive);
        runtime::SystemRuntimeServices runtime(runtime::ListFileFolderChoice{out, true});
        listing::ListingBuffer buffer;
        listing::ListingCore core(buffer, fileSystem, runtime);
        reading::ListingOptions options;
        options.details = true;
        core.SetOptions(options);
        save::SaveListing(core, runtime, drive.root->path);
        WriteHashes(out, drive);
    } catch (const std::exception& error) {
        std::cerr << "listing_maker: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
