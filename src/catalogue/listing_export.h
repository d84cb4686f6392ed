// A kept listing in formats other programs read: every entry's full path a line (for grep and
// xargs), CSV (RFC 4180, for spreadsheets) and the JSON export format of ncdu (which `ncdu -f` and
// `gdu -f` browse). Streamed, an entry at a time: memory does not grow with the listing.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorvale::catalogue {

enum class ExportFormat { kPaths, kCsv, kNcdu, kQdirstat };

// The format named "paths", "csv", "ncdu" or "qdirstat"; none for another name.
std::optional<ExportFormat> ExportFormatNamed(std::string_view name);

struct ExportRequest {
    ExportFormat format = ExportFormat::kPaths;
    bool nulls = false;   // paths: each ended by NUL instead of a newline
    std::string program;  // ncdu: the program and version that made the export
    std::string version;
};

// Writes the listing kept in `folder` in the format asked, through `write`, in listing order:
//   paths: each entry's full path as the listing wrote it (a folder's ending in "/", a CR or LF in
//       a name as the sign the list files write for it), one a line;
//   csv: a header line, then type, size, time and path of each entry, where the listing has
//       details (empty fields where it has none), CR LF ended, fields quoted where they must be;
//   ncdu: ncdu's export (format 1.2): each folder an array of its own object and its entries',
//       the root by its full path and the rest by name, "asize" the size from the details and
//       "dsize" the blocks its sizes file keeps (a listing without one: the size rounded up to 4
//       KiB), "mtime" its time, and "notreg" for what is neither a regular file nor a folder (a
//       link among them);
//   qdirstat: the cache file QDirStat and K4DirStat read ("[qdirstat 1.0 cache file]"): "D", the
//       folder's full path, its own size and time (hexadecimal seconds) for each folder, then "F"
//       (or "L" for a link), the name, its size and time for each of its files, tab separated,
//       names URL-encoded (%, blanks and control bytes as %XX); "blocks: N" after a sparse file
//       and "links: N" after a file of several hard links, where the listing keeps its sizes.
//       A listing without details cannot be exported so.
// Throws what reading a kept listing throws (runtime::RuntimeError; ListingChanged when a Save
// replaced its files meanwhile). `check` is called every few thousand entries.
void ExportListing(const std::string& folder, const ExportRequest& request,
                   const std::function<void(std::string_view)>& write,
                   const std::function<void()>& check = {});

}  // namespace quorvale::catalogue
