#include "catalogue/listing_hashes.h"

#include <algorithm>

#include "listing/list_file_writer.h"
#include "runtime/path_join.h"
#include "runtime/runtime_error.h"

namespace quorvale::catalogue {

namespace {

constexpr std::uint64_t kCheckEvery = 4096;

// The path beneath the root of a file line, its signs for CR and LF taken back as the bytes.
std::optional<std::string> RelativeBytes(const KeptEntry& entry, const ListingRecord& record) {
    std::string text(entry.relative);
    if (!text.empty()) text += '/';
    text += entry.name;
    const bool signsAreBytes = !record.linesWithTheSign || *record.linesWithTheSign == 0;
    if (!listing::HoldsLineBreakSign(text)) return text;
    if (!signsAreBytes) return std::nullopt;
    std::string bytes;
    listing::AppendRealBytes(bytes, text);
    return bytes;
}

// One line as sha256sum and xxhsum print it: the hash, two spaces and the path; with `escaped`,
// a backslash first and each backslash, LF and CR in the path written as sha256sum escapes them.
void SumsLine(std::string& line, const std::string& hex, const std::string& path, bool escaped) {
    line.clear();
    if (escaped) line += '\\';
    line += hex;
    line += "  ";
    if (!escaped) {
        line += path;
    } else {
        for (const char c : path) {
            line += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
        }
    }
    line += '\n';
}

}  // namespace

namespace {

// Opens the file of hashes `name` of `listing` as `Hashes`, which checks it; its errors are said
// of the listing.
template <typename Hashes, typename... More>
std::unique_ptr<Hashes> OpenHashFile(KeptListing& listing, std::string_view action,
                                     const std::string& (*name)(const ListingRecord::Hashes&),
                                     More... more) {
    const ListingRecord& record = listing.Record();
    const std::string context =
        "Cannot " + std::string(action) + " \"" + listing.FolderPath() + "\": ";
    if (!record.hashes) {
        throw runtime::RuntimeError(runtime::InvalidProcedureCall,
                                    context + "it has no hashes (it was saved without --hash)");
    }
    std::uint64_t size = 0;
    runtime::UniqueFd fd = listing.OpenFile(name(*record.hashes), size);
    if (!fd || !record.indexSave) {
        throw runtime::RuntimeError(
            runtime::PathNotFound,
            context + "its hashes \"" + name(*record.hashes) + "\" are missing");
    }
    try {
        auto hashes =
            std::make_unique<Hashes>(std::move(fd), record.lines, *record.indexSave, more...);
        if (hashes->Algorithm() != record.hashes->algorithm) {
            throw runtime::RuntimeError(runtime::InvalidProcedureCall,
                                        "its hashes are not of the algorithm its record names");
        }
        return hashes;
    } catch (const runtime::RuntimeError& error) {
        throw runtime::RuntimeError(error.Number(), context + error.what());
    }
}

}  // namespace

std::unique_ptr<KeptHashes> OpenHashes(KeptListing& listing, std::string_view action,
                                       KeptHashes::RowsCheck check) {
    return OpenHashFile<KeptHashes>(
        listing, action,
        [](const ListingRecord::Hashes& hashes) -> const std::string& { return hashes.byEntry; },
        check);
}

std::unique_ptr<HashesBySize> OpenHashesBySize(KeptListing& listing, std::string_view action) {
    return OpenHashFile<HashesBySize>(
        listing, action,
        [](const ListingRecord::Hashes& hashes) -> const std::string& { return hashes.bySize; });
}

void ForEachHashedEntry(KeptListing& listing, const KeptHashes& hashes,
                        const std::function<void(const HashedEntry&)>& each,
                        const std::function<void()>& check) {
    const ListingRecord& record = listing.Record();
    std::optional<KeptEntry> entry = listing.Next();
    std::uint64_t seen = 0;
    hashes.ForEach([&](const HashRow& row) {
        while (entry && entry->line < row.entry) {
            if (++seen % kCheckEvery == 0 && check) check();
            entry = listing.Next();
        }
        if (!entry || entry->line != row.entry || !entry->isFile) {
            throw runtime::RuntimeError(runtime::InvalidProcedureCall,
                                        "Cannot read the hashes of \"" + listing.FolderPath() +
                                            "\": a hash names no file of the listing");
        }
        each(HashedEntry{*entry, RelativeBytes(*entry, record), row});
    });
    while (entry) entry = listing.Next();  // the listing's end is where its record says
}

void ExportSums(const std::string& folder, const std::function<void(std::string_view)>& write,
                const std::function<void(const std::string& path)>& leftOut,
                const std::function<void()>& check) {
    KeptListing listing(folder, "export");
    const std::unique_ptr<KeptHashes> hashes = OpenHashes(listing, "export");
    const bool escapes = hashes->Algorithm() == reading::HashAlgorithm::kSha256;
    std::string line;
    ForEachHashedEntry(
        listing, *hashes,
        [&](const HashedEntry& hashed) {
            const bool special =
                hashed.relative && hashed.relative->find_first_of("\r\n\\") != std::string::npos;
            if (!hashed.relative || (special && !escapes)) {
                return leftOut(runtime::JoinPath(hashed.entry.folderPath, hashed.entry.name));
            }
            SumsLine(line, reading::HashHex(hashed.row.hash), *hashed.relative, special);
            write(line);
        },
        check);
    if (!listing.Unchanged()) throw ListingChanged("export", folder);
}

}  // namespace quorvale::catalogue
