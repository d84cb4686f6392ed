// The record a Save leaves beside its list files: what was listed, when, from which file system,
// into which list files, and whether the listing is complete. Written as JSON (runtime/json.h);
// names keep their bytes (a byte that is not part of UTF-8 is written as the escape \udcXX, XX
// the byte, as Python's "surrogateescape" reads it back).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/save_identity.h"
#include "listing/walk_report.h"
#include "reading/listing_options.h"
#include "runtime/file_system_facts.h"

namespace quorvale::catalogue {

// The record's format: it grows when a reader of an earlier format could no longer read a record
// right. Keys added alongside do not change it (a reader passes over keys it does not know).
inline constexpr std::uint64_t kRecordFormat = 1;

struct ListingRecord {
    std::string version;  // of the program that saved
    std::string root;     // as chosen
    std::string started;  // UTC, ISO 8601
    std::string ended;
    std::string host;
    runtime::FileSystemFacts fileSystem;  // of the root
    int firstListFile = 1;
    int lastListFile = 0;  // 0: the Save wrote no list file
    std::uint64_t lines = 0;
    std::uint64_t bytes = 0;  // of the list files together
    // The lines whose names hold the sign for a CR or LF itself; where none do, each sign in the
    // listing stands for the byte. None in a record of an earlier version (each sign is then
    // taken for the byte).
    std::optional<std::uint64_t> linesWithTheSign;
    bool complete = true;
    std::size_t deniedCount = 0;
    std::vector<listing::IncompleteFolder> denied;  // the first ones
    std::size_t incompleteCount = 0;
    std::vector<listing::IncompleteFolder> incomplete;  // the first ones
    std::vector<std::string> notEntered;  // on another device (ListingOptions::oneFileSystem)
    // The file systems' own folders (lost+found) that could not be read: a listing without them
    // is complete. Written only when there are some.
    std::vector<listing::IncompleteFolder> fileSystemOwn;
    reading::ListingOptions options;
    std::vector<std::string> notOfThisListing;  // list files in the folder that other Saves left
    std::string indexName;                      // the index a search reads (empty: none)
    std::uint64_t indexBytes = 0;               // its size
    // The Save that wrote the listing, as its index says it too; none in a record of a version
    // that wrote no identity (its index is then not used).
    std::optional<SaveIdentity> indexSave;
    // The sizes of its entries and its folders' totals (see size_file.h), kept by a Save with
    // details (empty: none, a Save without details or of an earlier version), tied to the same
    // Save.
    std::string sizesName;
    std::uint64_t sizesBytes = 0;
    // Whom the Save read the tree as: what a later Save must be to reuse the listing.
    struct User {
        std::uint64_t id = 0;
        std::vector<std::uint64_t> groups;  // ascending
    };
    std::optional<User> user;
    // The earlier listing whose folders a Save took where they had not changed (none: it read
    // every folder), and how many folders it took from there and how many it read.
    struct Reuse {
        std::string listing;
        std::uint64_t foldersReused = 0;
        std::uint64_t foldersRead = 0;
    };
    Reuse reuse;
    // The content hashes the Save kept beside its list files (see hash_file.h), where it was asked
    // for them: the algorithm, the two files, and which regular files got no hash and why
    // ("changed while hashed", or why they could not be read).
    struct Hashes {
        reading::HashAlgorithm algorithm = reading::HashAlgorithm::kNone;
        std::string byEntry;
        std::string bySize;
        std::uint64_t files = 0;      // regular files hashed
        std::uint64_t carried = 0;    // of those, hashes taken unread from the earlier listing
        std::uint64_t bytesRead = 0;  // to hash the others
        std::size_t notHashedCount = 0;
        std::vector<listing::IncompleteFolder> notHashed;  // the first ones
    };
    std::optional<Hashes> hashes;
};

// Why a file got no hash while the rest of its Save went on.
inline constexpr std::string_view kChangedWhileHashed = "changed while hashed";

// The options of a listing as the command line gives them ("--details --one-file-system
// --exclude '*.tmp'"), or "no options".
std::string OptionsText(const reading::ListingOptions& options);

// What a reader that gives each sign for a CR or LF back as the byte (-0) says of the listing in
// `folder` whose names hold the sign itself: "" where none do, or where the record does not tell.
std::string LineBreakSignNotice(const std::string& folder, const ListingRecord& record);

// The record as JSON text.
std::string RecordText(const ListingRecord& record);

// The record in `text`, read strictly (see runtime/json.h): what a reader of a listing uses of it
// (the root, the list files, lines and bytes, whether it is complete and how many folders were
// denied or cut short, when it ended, the host and the file system but for its device number, the
// options, the user, the index); what only a person reads (the version, the start, which folders
// were left out, a reuse) is checked and left out.
// None, with `why` saying which field is wrong, when the text is not such a record: the caller
// names the file in the error it makes of it.
std::optional<ListingRecord> ReadRecord(std::string_view text, std::string& why);

}  // namespace quorvale::catalogue
