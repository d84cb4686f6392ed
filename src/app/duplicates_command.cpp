#include "app/duplicates_command.h"

#include <sys/stat.h>

#include <charconv>
#include <functional>
#include <utility>

#include "app/held_output.h"
#include "app/signal_catcher.h"
#include "app/standard_streams.h"
#include "catalogue/duplicate_groups.h"
#include "catalogue/kept_listing.h"
#include "listing/list_file_writer.h"
#include "runtime/human_size.h"
#include "runtime/runtime_error.h"

namespace quorvale::app {

std::optional<std::string> ReadMinSize(std::string_view text, std::uint64_t& bytes) {
    const std::string wrong =
        "option '--min-size' needs a size such as 10M, 1G or 4096, not '" + std::string(text) + "'";
    const std::uint64_t unit = runtime::TakeSizeUnit(text);
    std::uint64_t count = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        count > UINT64_MAX / unit) {
        return wrong;
    }
    bytes = count * unit;
    return std::nullopt;
}

namespace {

using Question = DuplicatesRequest::Question;

// "1 group", "2 groups".
std::string Counted(std::uint64_t count, std::string_view one, std::string_view many = {}) {
    std::string text = std::to_string(count) + ' ';
    if (count == 1) return text + std::string(one);
    return text + (many.empty() ? std::string(one) + 's' : std::string(many));
}

std::pair<dev_t, ino_t> FolderIdentity(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return {0, 0};
    return {st.st_dev, st.st_ino};
}

class Duplicates {
  public:
    explicit Duplicates(const DuplicatesRequest& request) : request_(request) {}

    int Run() {
        std::size_t unreadable = 0;
        std::vector<catalogue::ListingToSearch> found = catalogue::ListingsToSearch(
            request_.folders, request_.all, [](const std::string& why) { Problem(why); },
            StopIfSignalled, request_.defaultPlaces, &unreadable);
        std::vector<catalogue::ListingToSearch> listings;
        if (request_.question == Question::kDuplicates) {
            listings = Hashed(std::move(found));
            if (listings.empty()) return NoHashes();
        } else {
            catalogue::KeptListing asked(request_.listing, "find the copies of");
            if (!asked.Record().hashes) {
                throw runtime::RuntimeError(runtime::InvalidProcedureCall,
                                            "Cannot find the copies of \"" + request_.listing +
                                                "\": it has no hashes (it was saved without "
                                                "--hash)");
            }
            algorithm_ = asked.Record().hashes->algorithm;
            listings.push_back({request_.listing, asked.Record()});
            for (auto& other : Others(std::move(found), listings.front())) {
                listings.push_back(std::move(other));
            }
        }
        const int status =
            request_.question == Question::kDuplicates ? Groups(listings) : Files(listings);
        if (status == kDuplicatesFound || status == kNoDuplicates) {
            if (unreadable != 0) return kDuplicatesFailed;
        }
        return status;
    }

  private:
    static void Problem(const std::string& why) { WriteError(ErrorMessage(why)); }

    static int NoHashes() {
        Problem("No kept listing with hashes to compare (quorvale --save FOLDER --hash keeps one)");
        return kDuplicatesFailed;
    }

    // The listings saved with hashes of one algorithm (most listings', XXH3-128 where as many have
    // either); the others named.
    std::vector<catalogue::ListingToSearch> Hashed(std::vector<catalogue::ListingToSearch> found) {
        if (algorithm_ == reading::HashAlgorithm::kNone)
            algorithm_ = catalogue::CommonAlgorithm(found);
        std::vector<catalogue::ListingToSearch> hashed;
        for (catalogue::ListingToSearch& listing : found) {
            if (!listing.record.hashes) {
                Problem("\"" + listing.folder +
                        "\" has no hashes (it was saved without --hash): left out");
                continue;
            }
            const reading::HashAlgorithm algorithm = listing.record.hashes->algorithm;
            if (algorithm != algorithm_) {
                Problem("\"" + listing.folder + "\" was hashed with " +
                        std::string(reading::HashAlgorithmName(algorithm)) + ", the others with " +
                        std::string(reading::HashAlgorithmName(algorithm_)) + ": left out");
                continue;
            }
            hashed.push_back(std::move(listing));
        }
        return hashed;
    }

    // The listings to look in for copies of `asked`'s files: hashed ones of other drives or
    // roots (an earlier listing of the same place is no copy of it).
    std::vector<catalogue::ListingToSearch> Others(std::vector<catalogue::ListingToSearch> found,
                                                   const catalogue::ListingToSearch& asked) {
        const auto identity = FolderIdentity(asked.folder);
        const std::string place = catalogue::DriveAndRoot(asked.record);
        std::erase_if(found, [&](const catalogue::ListingToSearch& listing) {
            return FolderIdentity(listing.folder) == identity ||
                   catalogue::DriveAndRoot(listing.record) == place;
        });
        return Hashed(std::move(found));
    }

    std::string Size(std::uint64_t bytes) const {
        return request_.humanReadable ? runtime::HumanReadableSize(bytes) : std::to_string(bytes);
    }

    void Line(std::string_view text) { held_.Line(text, request_.nulls ? '\0' : '\n'); }

    // A path as the listing wrote it, or with -0 with each sign for a line break as its byte.
    void AppendPath(std::string& line, std::string_view path) const {
        if (request_.nulls) {
            listing::AppendRealBytes(line, path);
        } else {
            line += path;
        }
    }

    // Asks `question` once more when a Save replaced a listing while it was read.
    template <typename Question>
    auto Twice(const Question& question) {
        try {
            return question();
        } catch (const catalogue::ListingChanged&) {
            held_.Clear();
            return question();
        }
    }

    int Groups(const std::vector<catalogue::ListingToSearch>& listings) {
        catalogue::DuplicateSearch search;
        search.algorithm = algorithm_;
        search.minSize = request_.minSize;
        const std::vector<catalogue::DuplicateGroup> groups =
            Twice([&] { return catalogue::FindDuplicates(listings, search, StopIfSignalled); });
        std::uint64_t copies = 0;
        std::uint64_t waste = 0;
        std::string line;
        for (const catalogue::DuplicateGroup& group : groups) {
            copies += group.copies.size();
            waste += group.Waste();
            if (request_.count) continue;
            line = Size(group.size) + '\t' +
                   (group.OfFolders() ? "folders of " + Counted(group.files, "file")
                                      : reading::HashHex(group.hash)) +
                   '\t' + std::to_string(group.copies.size()) + '\t' + Size(group.Waste());
            Line(line);
            for (const catalogue::DuplicateCopy& copy : group.copies) {
                line.assign(listings[copy.listing].folder);
                line += '\t';
                AppendPath(line, copy.path);
                Line(line);
                for (const std::string& link : copy.links) {
                    line.assign("=\t" + listings[copy.listing].folder + '\t');
                    AppendPath(line, link);
                    Line(line);
                }
            }
            Line("");
        }
        if (request_.count) Line(std::to_string(groups.size()));
        if (const int status = held_.Print(); status != 0) return status;
        WriteError("quorvale: " + Counted(groups.size(), "group") + ", " +
                   Counted(copies, "copy", "copies") + "; " + runtime::HumanReadableSize(waste) +
                   " (" + std::to_string(waste) + " bytes) could be freed (" +
                   Counted(listings.size(), "listing") + " read)\n");
        return groups.empty() ? kNoDuplicates : kDuplicatesFound;
    }

    int Files(const std::vector<catalogue::ListingToSearch>& listings) {
        const bool wantElsewhere = request_.question == Question::kAlsoIn;
        std::uint64_t files = 0;
        std::uint64_t bytes = 0;
        std::uint64_t all = 0;
        std::string line;
        Twice([&] {
            files = bytes = all = 0;
            catalogue::FilesElsewhere(
                listings, algorithm_,
                [&](const catalogue::FileElsewhere& file) {
                    ++all;
                    if (file.elsewhere != wantElsewhere || file.size < request_.minSize) return;
                    ++files;
                    bytes += file.size;
                    if (request_.count) return;
                    line = Size(file.size) + '\t';
                    AppendPath(line, file.path);
                    Line(line);
                },
                StopIfSignalled);
            return 0;
        });
        if (request_.count) {
            Line(std::to_string(files));
        } else {
            Line(Size(bytes) + "\ttotal");
        }
        if (const int status = held_.Print(); status != 0) return status;
        WriteError("quorvale: " + std::to_string(files) + " of " + std::to_string(all) +
                   " files of \"" + request_.listing + "\" (" + runtime::HumanReadableSize(bytes) +
                   ") are " + (wantElsewhere ? "also in another listing" : "in no other listing") +
                   " (" + Counted(listings.size() - 1, "other listing") + " read)\n");
        return files == 0 ? kNoDuplicates : kDuplicatesFound;
    }

    const DuplicatesRequest& request_;
    reading::HashAlgorithm algorithm_ = reading::HashAlgorithm::kNone;
    HeldOutput held_{"quorvale-duplicates"};
};

}  // namespace

int RunDuplicates(const DuplicatesRequest& request) {
    try {
        return Duplicates(request).Run();
    } catch (const StoppedBySignal& stopped) {
        return ReportStopped(stopped);
    } catch (const runtime::RuntimeError& error) {
        WriteError(ErrorMessage(error.what()));
        return kDuplicatesFailed;
    }
}

}  // namespace quorvale::app
