#include "app/find_command.h"

#include <charconv>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "app/held_output.h"
#include "app/signal_catcher.h"
#include "app/standard_streams.h"
#include "catalogue/drive_catalogue.h"
#include "listing/details_line.h"
#include "listing/list_file_writer.h"
#include "runtime/human_size.h"
#include "runtime/runtime_error.h"
#include "runtime/utc_time.h"

namespace quorvale::app {

bool DetailsFilter::Passes(std::string_view details) const {
    if (details.empty()) return false;
    const listing::DetailsFields fields = listing::SplitDetails(details);
    if (type != 0 && (fields.type.size() != 1 || fields.type[0] != type)) return false;
    if (!newer.empty() && !(fields.time > newer)) return false;
    if (!older.empty() && !(fields.time < older)) return false;
    if (size == Compare::kNone) return true;
    std::uint64_t bytes = 0;
    if (std::from_chars(fields.size.data(), fields.size.data() + fields.size.size(), bytes).ec !=
        std::errc()) {
        return false;
    }
    const std::uint64_t units = bytes / sizeUnit + (bytes % sizeUnit != 0 ? 1 : 0);
    switch (size) {
        case Compare::kMore:
            return units > sizeCount;
        case Compare::kLess:
            return units < sizeCount;
        default:
            return units == sizeCount;
    }
}

std::optional<std::string> ReadSizeFilter(std::string_view text, DetailsFilter& filter) {
    const std::string wrong =
        "option '--size' needs a size such as +100M, -1k or 20, not '" + std::string(text) + "'";
    filter.size = DetailsFilter::Compare::kAbout;
    if (text.starts_with('+') || text.starts_with('-')) {
        filter.size =
            text[0] == '+' ? DetailsFilter::Compare::kMore : DetailsFilter::Compare::kLess;
        text.remove_prefix(1);
    }
    filter.sizeUnit = runtime::TakeSizeUnit(text);
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), filter.sizeCount);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return wrong;
    return std::nullopt;
}

std::optional<std::string> ReadTimeFilter(std::string_view text, std::string& time) {
    std::string given(text);
    const bool utc = given.ends_with('Z');
    if (utc) given.pop_back();
    for (char& c : given) c = c == 'T' ? ' ' : c;
    for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d"}) {
        std::tm parts{};
        const char* end = ::strptime(given.c_str(), format, &parts);
        if (end == nullptr || *end != '\0') continue;
        parts.tm_isdst = -1;
        const std::time_t seconds = utc ? ::timegm(&parts) : std::mktime(&parts);
        time = runtime::UtcTime(seconds);
        return std::nullopt;
    }
    return "a date such as 2026-12-09 or 2026-12-09 14:30, not '" + std::string(text) + "'";
}

namespace {

// One search over the listings, its matches held one listing at a time until that listing was
// read whole and unchanged.
class Search {
  public:
    explicit Search(const FindRequest& request) : request_(request), matcher_(request.query) {}

    int Run() {
        std::size_t unreadable = 0;
        const auto listings = catalogue::ListingsToSearch(
            request_.folders, request_.all, [this](const std::string& why) { Problem(why); },
            StopIfSignalled, request_.defaultPlaces, &unreadable);
        if (listings.empty() && request_.defaultPlaces) {
            Problem("No kept listing to search (quorvale --save FOLDER keeps one)");
        }
        for (const catalogue::ListingToSearch& listing : listings) {
            if (Done()) break;
            if (const int status = SearchListing(listing); status != 0) return status;
        }
        if (request_.count) {
            if (const int status = WriteOutput(std::to_string(found_) + "\n"); status != 0) {
                return status;
            }
        }
        if (unreadable != 0 || searched_ == 0) return kFindFailed;
        return found_ != 0 ? kFound : kNothingFound;
    }

  private:
    bool Done() const { return request_.limit && found_ >= *request_.limit; }

    void Problem(const std::string& why) { WriteError(ErrorMessage(why)); }

    // Searches one listing, and once more when a Save replaced it while it was read; by its list
    // files when its index cannot be used. What it found is printed once it was read whole. 0, or
    // the status output failed with.
    int SearchListing(const catalogue::ListingToSearch& listing) {
        const std::uint64_t before = found_;
        try {
            Read(listing, [this, before] {
                found_ = before;
                held_.Clear();
            });
            ++searched_;
            return request_.count ? 0 : held_.Print();
        } catch (const runtime::RuntimeError& error) {
            Problem(error.what());
        }
        found_ = before;
        return 0;
    }

    // Says, once in a search, that a listing is searched by its list files, line by line.
    void SlowerOnce(const std::string& folder, const std::string& why) {
        if (saidSlower_) return;
        saidSlower_ = true;
        WriteError("quorvale: \"" + folder + "\": " + why +
                   "; its list files are searched instead, more slowly (a Save of it writes an "
                   "index again)\n");
    }

    void Read(const catalogue::ListingToSearch& listing, const std::function<void()>& begin) {
        // The date of the listing as it is searched, which a Save may have replaced since it
        // was chosen.
        std::string prefix;
        const char end = request_.nulls ? '\0' : '\n';
        std::string line;
        catalogue::SearchListing(
            listing.folder, matcher_, {request_.details || request_.filter.Any(), true}, begin,
            [&](const catalogue::FoundEntry& entry) {
                if (request_.filter.Any() && !request_.filter.Passes(entry.details)) return true;
                ++found_;
                if (!request_.count) {
                    line.assign(prefix);
                    if (request_.details) AppendDetails(line, entry.details);
                    if (request_.nulls) {
                        listing::AppendRealBytes(line, entry.path);
                    } else {
                        line += entry.path;
                    }
                    held_.Line(line, end);
                }
                return !Done();
            },
            StopIfSignalled,
            [&prefix, &listing, this](const catalogue::ListingRecord& record, bool beforeASave) {
                if (request_.where || request_.details) {
                    prefix = listing.folder + '\t' + record.ended + '\t' + NoteOf(record) + '\t';
                }
                if (beforeASave) SaidBeforeASave(listing.folder, record);
                if (request_.filter.Any() && !record.options.details) SaidNoDetails(listing.folder);
                if (const std::string notice =
                        catalogue::LineBreakSignNotice(listing.folder, record);
                    request_.nulls && !notice.empty() && saidSigns_.insert(listing.folder).second) {
                    Problem(notice);
                }
            },
            [this, &listing](const std::string& why) { SlowerOnce(listing.folder, why); });
    }

    void AppendDetails(std::string& line, std::string_view details) const {
        if (details.empty()) {
            line += "\t\t\t";
            return;
        }
        if (!request_.humanReadable) {
            line += details;
            return;
        }
        const listing::DetailsFields fields = listing::SplitDetails(details);
        line += fields.type;
        line += '\t';
        std::uint64_t bytes = 0;
        if (std::from_chars(fields.size.data(), fields.size.data() + fields.size.size(), bytes)
                    .ec == std::errc() &&
            !fields.size.empty()) {
            line += runtime::HumanReadableSize(bytes);
        } else {
            line += fields.size;
        }
        line += '\t';
        line += fields.time;
        line += '\t';
    }

    // The note kept of the listing's drive, as one field (its tabs and line breaks as spaces).
    std::string NoteOf(const catalogue::ListingRecord& record) {
        std::string text = notes_.Of(record);
        for (char& c : text) c = c == '\t' || c == '\n' || c == '\r' ? ' ' : c;
        return text;
    }

    // Says, once for each listing, that what the filters ask is not in it.
    void SaidNoDetails(const std::string& folder) {
        if (!saidNoDetails_.insert(folder).second) return;
        WriteError("quorvale: \"" + folder +
                   "\" was saved without --details: no entry of it has a size, time or type to "
                   "match --size, --newer, --older or --type\n");
    }

    // Says, once for each listing, that it is searched as it was before a Save of it began.
    void SaidBeforeASave(const std::string& folder, const catalogue::ListingRecord& record) {
        if (!saidBeforeASave_.insert(folder).second) return;
        WriteError("quorvale: \"" + folder + "\" is being saved again: searched as it was listed " +
                   record.ended + ", before that Save began\n");
    }

    const FindRequest& request_;
    const catalogue::EntryMatcher matcher_;
    HeldOutput held_{"quorvale-find"};
    std::uint64_t found_ = 0;
    std::size_t searched_ = 0;  // listings read whole
    bool saidSlower_ = false;
    std::set<std::string> saidBeforeASave_;
    std::set<std::string> saidNoDetails_;
    std::set<std::string> saidSigns_;
    catalogue::DriveNotes notes_{catalogue::CatalogueFolder()};
};

}  // namespace

int RunFind(const FindRequest& request) {
    try {
        return Search(request).Run();
    } catch (const StoppedBySignal& stopped) {
        return ReportStopped(stopped);
    } catch (const runtime::RuntimeError& error) {
        WriteError(ErrorMessage(error.what()));
        return kFindFailed;
    }
}

}  // namespace quorvale::app
