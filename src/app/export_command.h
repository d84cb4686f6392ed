// `quorvale --export FORMAT LISTING`: a kept listing in a format other programs read (see
// catalogue::ExportListing), streamed to stdout.
#pragma once

#include <string>

namespace quorvale::app {

inline constexpr int kExported = 0;
inline constexpr int kExportFailed = 2;

struct ExportCommand {
    std::string format;   // "paths", "csv" or "ncdu"
    std::string listing;  // the list folder
    bool nulls = false;   // -0 (paths)
};

// Writes the export on stdout and returns 0; a listing that cannot be read (or that a Save
// replaced while it was read: what was written may mix two) is said on stderr with 2. SIGINT,
// SIGTERM and SIGHUP stop it (128 + the signal), a reader of stdout gone ends it with 141.
int RunExport(const ExportCommand& command);

}  // namespace quorvale::app
