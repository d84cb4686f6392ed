#include "app/catalogue_commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>

#include "app/standard_streams.h"
#include "catalogue/drive_catalogue.h"
#include "catalogue/kept_listing.h"
#include "catalogue/listing_find.h"
#include "listing/list_file_name.h"
#include "runtime/file_system_facts.h"
#include "runtime/folder_path.h"
#include "runtime/human_size.h"
#include "runtime/runtime_error.h"
#include "runtime/runtime_services.h"
#include "runtime/unique_fd.h"

namespace quorvale::app {

namespace {

// What the files of the list folder `folder` take on its disk.
std::uint64_t BytesOnDisk(const std::string& folder, const catalogue::ListingRecord& record) {
    const runtime::UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::uint64_t bytes = 0;
    if (!fd) return bytes;
    std::vector<std::string> names{std::string(listing::kRecordName), record.indexName,
                                   record.sizesName};
    for (int number = record.firstListFile; number <= record.lastListFile; ++number) {
        names.push_back(listing::ListFileName(number));
        names.push_back(listing::DetailsFileName(number));
    }
    for (const std::string& name : names) {
        struct stat st {};
        if (!name.empty() && ::fstatat(fd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            bytes += static_cast<std::uint64_t>(st.st_blocks) * 512;
        }
    }
    return bytes;
}

std::string CompletenessText(const catalogue::ListingRecord& record) {
    if (record.complete) return "complete";
    std::string why;
    if (record.deniedCount != 0) why = std::to_string(record.deniedCount) + " denied";
    if (record.incompleteCount != 0) {
        if (!why.empty()) why += ", ";
        why += std::to_string(record.incompleteCount) + " cut short";
    }
    return why.empty() ? "not complete" : "not complete (" + why + ")";
}

std::string ListingLine(const catalogue::ListingToSearch& listing, const std::string& catalogue) {
    const catalogue::ListingRecord& record = listing.record;
    const runtime::FileSystemFacts& drive = record.fileSystem;
    std::string line = catalogue::DriveNameOf(record);
    for (const std::string& field :
         {record.root, record.ended, std::to_string(record.lines) + " lines",
          CompletenessText(record),
          drive.capacity == 0 ? std::string("size unknown")
                              : runtime::DecimalSize(drive.capacity) + ", " +
                                    runtime::DecimalSize(drive.available) + " free",
          runtime::DecimalSize(BytesOnDisk(listing.folder, record)) + " on disk",
          record.options.details ? std::string("details") : std::string("no details"),
          catalogue.empty() ? std::string()
                            : catalogue::DriveNote(catalogue, catalogue::DriveOf(record)),
          listing.folder}) {
        line += '\t';
        line += field;
    }
    return line + '\n';
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

int RunCatalogueSave(const std::string& folder, const reading::ListingOptions& options,
                     ReuseChoice reuse, bool reuseLatest,
                     const runtime::ListFileFolderChoice& fallback) {
    const std::string catalogueFolder = catalogue::CatalogueFolder();
    const runtime::UniqueFd root(
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    if (catalogueFolder.empty() || !root) {
        // Says why the folder cannot be listed (or, with no home, writes where it always did).
        runtime::SystemRuntimeServices runtime(fallback);
        return RunHeadlessSave(folder, runtime, options, reuse);
    }
    try {
        // A drive's listing is of its folder wherever the Save was started and however the folder
        // was named: kept by its real path (links and ".." resolved), which also says where on its
        // drive it lies, so that the next Save (from any folder) finds its place and reuses it.
        const std::unique_ptr<char, decltype(&std::free)> real(::realpath(folder.c_str(), nullptr),
                                                               &std::free);
        const std::string absolute =
            real ? std::string(real.get()) : runtime::AbsoluteFolderPath(folder);
        const catalogue::DrivePlace place = catalogue::PlaceOf(
            runtime::DescribeFileSystemOf(root.Get()), absolute, runtime::HostName());
        catalogue::CatalogueSave save(catalogueFolder, place);
        if (reuseLatest) {
            reuse.listing = save.Latest();
            if (!reuse.listing) {
                WriteError("quorvale: no earlier listing of \"" + folder +
                           "\" in the catalogue to reuse: every folder is read\n");
            }
        }
        runtime::SystemRuntimeServices runtime(save.ListFolder());
        const int status = RunHeadlessSave(absolute, runtime, options, reuse);
        if (status == kSavedComplete || status == kSavedIncomplete) save.Keep();
        return status;
    } catch (const runtime::RuntimeError& error) {
        WriteError(ErrorMessage(error.what()));
        const int status = WriteOutput(std::string(listing::kNotSavedStatus) + "\n");
        return status != 0 ? status : kNotSaved;
    }
}

std::vector<std::string> DefaultPlaces(const std::string& windowFolder) {
    std::vector<std::string> places;
    if (std::string catalogue = catalogue::CatalogueFolder(); !catalogue.empty()) {
        places.push_back(std::move(catalogue));
    }
    if (!windowFolder.empty()) places.push_back(windowFolder);
    return places;
}

std::vector<std::string> ListingsByPathOrName(const std::string& given) {
    const std::string catalogue = catalogue::CatalogueFolder();
    if (Exists(given) || catalogue.empty()) return {given};
    std::vector<std::string> named = catalogue::ListingsNamed(catalogue, given);
    if (named.empty()) named.push_back(given);
    return named;
}

std::string ListingByPathOrName(const std::string& given) {
    const std::vector<std::string> named = ListingsByPathOrName(given);
    if (named.size() == 1) return named.front();
    std::string which;
    for (const std::string& listing : named) which += "\n  " + listing;
    throw runtime::RuntimeError(runtime::InvalidProcedureCall,
                                "\"" + given + "\" names the listings of " +
                                    std::to_string(named.size()) +
                                    " drives; give one by its path:" + which);
}

int RunListings(const std::vector<std::string>& folders, bool defaults) {
    std::size_t unreadable = 0;
    bool anyProblem = false;
    const auto listings = catalogue::ListingsToSearch(
        folders, true,
        [&anyProblem](const std::string& why) {
            anyProblem = true;
            WriteError(ErrorMessage(why));
        },
        {}, defaults, &unreadable);
    const std::string catalogue = catalogue::CatalogueFolder();
    std::string text;
    for (const catalogue::ListingToSearch& listing : listings)
        text += ListingLine(listing, catalogue);
    if (const int status = WriteOutput(text); status != 0) return status;
    return unreadable != 0 || (listings.empty() && anyProblem) ? 2 : 0;
}

int RunNote(const std::string& given, const std::string& text) {
    try {
        const std::string folder = ListingByPathOrName(given);
        const catalogue::ListingRecord record = catalogue::KeptListing(folder, "note").Record();
        const std::string catalogue = catalogue::CatalogueFolder();
        if (catalogue.empty()) {
            throw runtime::RuntimeError(
                runtime::PathNotFound, "Cannot keep a note: there is no home folder to keep it in");
        }
        catalogue::SetDriveNote(catalogue, catalogue::DriveOf(record), text);
        return 0;
    } catch (const runtime::RuntimeError& error) {
        WriteError(ErrorMessage(error.what()));
        return 2;
    }
}

int RunForget(const std::string& given) {
    try {
        catalogue::ForgetListing(ListingByPathOrName(given));
        return 0;
    } catch (const runtime::RuntimeError& error) {
        WriteError(ErrorMessage(error.what()));
        return 2;
    }
}

}  // namespace quorvale::app
