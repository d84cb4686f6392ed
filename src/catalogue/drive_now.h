// Where a listed drive is now: whether it is mounted where it was listed (as the record names it:
// its UUID, else its label, else its source) and, when it is mounted elsewhere, the same place on
// it there. What the window's search opens and what a verification reads are found here.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "catalogue/listing_record.h"
#include "runtime/file_system_facts.h"

namespace quorvale::catalogue {

// The name of the drive a listing was made of, as a person reads it: its label, else its UUID,
// else what was mounted (else the root listed).
std::string DriveName(const ListingRecord& record);

// What the system says of its drives now: the file system a folder lies on (none when the folder
// cannot be opened), and where the drive of a UUID or label is mounted ("" when it is not).
struct DriveLookup {
    std::function<std::optional<runtime::FileSystemFacts>(const std::string& folder)> factsOf;
    std::function<std::string(const std::string& uuid, const std::string& label)> mountPointOf;
    // The system's own answers.
    static DriveLookup System();
};

// Whether the drive a listing was made of is mounted at `folder` now, as the record names it (its
// UUID, else its label, else its source); `why` says which drive to connect when it is not.
bool MountedAsListed(const std::string& folder, const ListingRecord& record, std::string& why,
                     const DriveLookup& drives = DriveLookup::System());

// Where the listed `folder` is now: where it was listed when its drive is mounted there, else
// the same place on the drive wherever it is mounted now (found by its UUID or label); empty,
// with `why`, when the drive is not mounted.
std::string FolderNow(const std::string& folder, const ListingRecord& record, std::string& why,
                      const DriveLookup& drives = DriveLookup::System());

}  // namespace quorvale::catalogue
