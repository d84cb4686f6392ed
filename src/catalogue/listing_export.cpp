#include "catalogue/listing_export.h"

#include <time.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "catalogue/kept_listing.h"
#include "catalogue/listing_find.h"
#include "catalogue/listing_tree.h"
#include "listing/details_line.h"
#include "listing/list_file_writer.h"
#include "runtime/path_join.h"

namespace quorvale::catalogue {

namespace {

// Entries written between two calls of the caller's check.
constexpr std::size_t kEntriesBetweenChecks = 4096;
// What ncdu takes a file to occupy on disk when only its size is known: whole blocks of 4 KiB.
constexpr std::uint64_t kDiskBlock = 4096;

// A CSV field as RFC 4180 wants it: quoted, its quotes doubled, where it holds a comma, a quote,
// a CR or an LF.
void AppendCsvField(std::string& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out += field;
        return;
    }
    out += '"';
    for (const char c : field) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

// A JSON string of the name's bytes: quotes, backslashes and control bytes (DEL among them, which
// ncdu's reader refuses as it is) escaped, every other byte as it is (ncdu reads names as bytes).
void AppendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

// The size of a details line, when it is a number of 64 bits (a details file is read as it was
// kept, and may say anything).
std::optional<std::uint64_t> SizeOf(std::string_view size) {
    std::uint64_t bytes = 0;
    const auto [end, error] = std::from_chars(size.data(), size.data() + size.size(), bytes);
    if (size.empty() || error != std::errc() || end != size.data() + size.size()) {
        return std::nullopt;
    }
    return bytes;
}

// Seconds since the epoch of a details time ("2026-12-07T21:04:05Z"); none for another form.
std::optional<std::int64_t> SecondsOf(std::string_view time) {
    struct tm parts {};
    const std::string text(time);
    char end = 0;
    if (text.size() != 20 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &parts.tm_year, &parts.tm_mon,
                    &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &end) != 7 ||
        end != 'Z') {
        return std::nullopt;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return static_cast<std::int64_t>(::timegm(&parts));
}

// The ncdu export: a folder opens an array that its last entry below closes. Folders come in the
// walk's order, depth first, so the folders open are the current one's ancestors.
class NcduWriter {
  public:
    NcduWriter(const ExportRequest& request, const std::function<void(std::string_view)>& write)
        : write_(write) {
        out_ = "[1,2,{\"progname\":";
        AppendJsonString(out_, request.program);
        out_ += ",\"progver\":";
        AppendJsonString(out_, request.version);
        out_ += ",\"timestamp\":" + std::to_string(static_cast<long long>(::time(nullptr))) + "}";
    }

    // The next entry, with its sizes where the listing keeps them.
    void Entry(const KeptEntry& entry, const EntrySize* size) {
        if (entry.isFile) {
            out_ += ",\n";
            Object(entry.name, entry.details, size);
        } else {
            Folder(entry, size);
        }
        if (out_.size() > (1 << 16)) Flush();
    }

    void Finish() {
        for (std::size_t i = 0; i < open_.size(); ++i) out_ += ']';
        out_ += "]\n";
        Flush();
    }

  private:
    void Folder(const KeptEntry& entry, const EntrySize* size) {
        const std::string_view path = entry.folderPath;
        // Close the folders this one does not lie in.
        while (!open_.empty() && !LiesIn(path, open_.back())) {
            out_ += ']';
            open_.pop_back();
        }
        out_ += ",\n[";
        const std::string_view name = open_.empty() ? path : runtime::LastPathPart(path);
        Object(name, entry.details, size);
        open_.emplace_back(path);
    }

    static bool LiesIn(std::string_view path, const std::string& folder) {
        return path.size() > folder.size() && path.starts_with(folder) &&
               (folder.ends_with('/') || path[folder.size()] == '/');
    }

    void Object(std::string_view name, std::string_view details, const EntrySize* size) {
        out_ += "{\"name\":";
        AppendJsonString(out_, name);
        if (!details.empty()) {
            const listing::DetailsFields split = listing::SplitDetails(details);
            if (const std::optional<std::uint64_t> bytes = SizeOf(split.size)) {
                out_ += ",\"asize\":" + std::to_string(*bytes);
                // The blocks it has, or whole blocks where their size is a number too.
                if (size != nullptr) {
                    out_ += ",\"dsize\":" + std::to_string(size->blocks * 512);
                } else if (*bytes <= UINT64_MAX - (kDiskBlock - 1)) {
                    out_ += ",\"dsize\":" +
                            std::to_string((*bytes + kDiskBlock - 1) / kDiskBlock * kDiskBlock);
                }
            }
            if (const std::optional<std::int64_t> seconds = SecondsOf(split.time)) {
                out_ += ",\"mtime\":" + std::to_string(*seconds);
            }
            if (split.type == "l" || split.type == "o") out_ += ",\"notreg\":true";
        }
        out_ += '}';
    }

    void Flush() {
        write_(out_);
        out_.clear();
    }

    const std::function<void(std::string_view)>& write_;
    std::string out_;
    std::vector<std::string> open_;  // the folders whose arrays are open, outermost first
};

// The cache file of QDirStat: a folder's line by its full path, its files' by their names.
class QdirstatWriter {
  public:
    explicit QdirstatWriter(const ExportRequest& request) {
        out_ = "[qdirstat 1.0 cache file]\n# Written by " + request.program + " " +
               request.version + "\n# Type\tpath\tsize\tmtime\t<optional fields>\n\n";
    }

    // The next entry; `out` takes its line.
    void Entry(const KeptEntry& entry, const EntrySize* size, std::string& out) {
        out += out_;
        out_.clear();
        const listing::DetailsFields split = listing::SplitDetails(entry.details);
        if (!entry.isFile) {
            out += "D\t";
            AppendEncoded(out, entry.folderPath);
        } else {
            out += split.type == "l" ? "L\t" : "F\t";
            AppendEncoded(out, entry.name);
        }
        out += '\t';
        out += SizeOf(split.size) ? split.size : "0";
        char time[24];
        std::snprintf(time, sizeof time, "\t0x%llx",
                      static_cast<unsigned long long>(SecondsOf(split.time).value_or(0)));
        out += time;
        if (size != nullptr && entry.isFile) {
            if (split.type == "f" && size->blocks * 512 < size->bytes)
                out += "\tblocks: " + std::to_string(size->blocks);
            if (size->links > 1) out += "\tlinks: " + std::to_string(size->links);
        }
        out += '\n';
    }

  private:
    // %, blanks and control bytes as %XX; every other byte as it is (names are bytes there too).
    static void AppendEncoded(std::string& out, std::string_view name) {
        for (const char c : name) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte <= 0x20 || byte == 0x7F || c == '%') {
                char escaped[4];
                std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
                out += escaped;
            } else {
                out += c;
            }
        }
    }

    std::string out_;  // the header, until the first entry
};

}  // namespace

std::optional<ExportFormat> ExportFormatNamed(std::string_view name) {
    if (name == "paths") return ExportFormat::kPaths;
    if (name == "csv") return ExportFormat::kCsv;
    if (name == "ncdu") return ExportFormat::kNcdu;
    if (name == "qdirstat") return ExportFormat::kQdirstat;
    return std::nullopt;
}

namespace {

// A path a line; ended by NUL, a path may hold any byte: a CR or LF a name held is given back.
void AppendPathLine(std::string& out, std::string_view path, bool nulls) {
    if (nulls) {
        listing::AppendRealBytes(out, path);
        out += '\0';
    } else {
        out += path;
        out += '\n';
    }
}

}  // namespace

namespace {

// A CSV line: type, size, time and path.
void AppendCsvLine(std::string& out, const KeptEntry& entry, std::string_view path) {
    const listing::DetailsFields split = listing::SplitDetails(entry.details);
    for (const std::string_view field : {split.type, split.size, split.time}) {
        out += field;
        out += ',';
    }
    AppendCsvField(out, path);
    out += "\r\n";
}

// The sizes kept with `listing`, for the formats that tell what entries take on disk; none for
// the others, or where the listing keeps none. A QDirStat cache needs at least the details.
std::unique_ptr<KeptSizes> SizesForExport(KeptListing& listing, const ExportRequest& request) {
    if (request.format == ExportFormat::kQdirstat && !listing.HasDetails()) {
        throw runtime::RuntimeError(runtime::InvalidProcedureCall,
                                    "Cannot export \"" + listing.FolderPath() +
                                        "\" for QDirStat: it was saved without --details");
    }
    const bool onDisk =
        request.format == ExportFormat::kNcdu || request.format == ExportFormat::kQdirstat;
    if (!onDisk || listing.Record().sizesName.empty()) return nullptr;
    return OpenSizesOf(listing, "export");
}

}  // namespace

void ExportListing(const std::string& folder, const ExportRequest& request,
                   const std::function<void(std::string_view)>& write,
                   const std::function<void()>& check) {
    if (check) check();
    KeptListing listing(folder, "export");
    if (request.format != ExportFormat::kPaths && listing.HasDetails()) listing.ReadDetails();
    const std::unique_ptr<KeptSizes> sizes = SizesForExport(listing, request);
    std::optional<NcduWriter> ncdu;
    if (request.format == ExportFormat::kNcdu) ncdu.emplace(request, write);
    std::optional<QdirstatWriter> qdirstat;
    if (request.format == ExportFormat::kQdirstat) qdirstat.emplace(request);
    std::vector<EntrySize> size;
    std::string out;
    if (request.format == ExportFormat::kCsv) out = "type,size,time,path\r\n";
    std::string path;
    for (std::uint64_t entries = 0; const std::optional<KeptEntry> entry = listing.Next();) {
        if (++entries % kEntriesBetweenChecks == 0 && check) check();
        size.clear();
        if (sizes) sizes->EntrySizes(entries - 1, 1, size);
        const EntrySize* kept = size.empty() ? nullptr : &size.front();
        if (ncdu) {
            ncdu->Entry(*entry, kept);
            continue;
        }
        EntryPath(*entry, path);
        if (qdirstat) {
            qdirstat->Entry(*entry, kept, out);
        } else if (request.format == ExportFormat::kPaths) {
            AppendPathLine(out, path, request.nulls);
        } else {
            AppendCsvLine(out, *entry, path);
        }
        if (out.size() > (1 << 16)) {
            write(out);
            out.clear();
        }
    }
    if (ncdu) {
        ncdu->Finish();
    } else {
        write(out);
    }
    if (!listing.Unchanged()) throw ListingChanged("export", listing.FolderPath());
}

}  // namespace quorvale::catalogue
