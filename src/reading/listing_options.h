// What a Save may be asked beyond the plain listing: to stay on the listed folder's drive, to
// leave entries out by name. Without them the listing is every folder and file below the root.
#pragma once

#include <fnmatch.h>

#include <string>
#include <string_view>
#include <vector>

#include "reading/content_hash.h"

namespace quorvale::reading {

struct ListingOptions {
    // A folder on another device than the root is listed by its folder line and not entered.
    bool oneFileSystem = false;
    // Entries whose name matches one of these shell patterns (case-sensitive, `*` matching a
    // leading dot too) are left out, and so is everything below a folder left out.
    std::vector<std::string> excludes;
    // Beside each list file, a details file of the same lines: each entry's type, size and time.
    bool details = false;
    // A hash of each regular file's content, kept beside the list files (with details only).
    HashAlgorithm hash = HashAlgorithm::kNone;
    // How, not what (never recorded): in which order the files are read to be hashed.
    ReadOrder hashReadOrder = ReadOrder::kAsTheDiskWants;

    // Whether `name` (an entry's name under its folder) is left out.
    bool Excludes(std::string_view name) const {
        if (excludes.empty()) return false;
        thread_local std::string terminated;  // fnmatch wants the name ended by a zero byte
        terminated.assign(name);
        for (const std::string& pattern : excludes) {
            if (::fnmatch(pattern.c_str(), terminated.c_str(), 0) == 0) return true;
        }
        return false;
    }
};

}  // namespace quorvale::reading
