#include "app/program_entry.h"

#include <csignal>
#include <string>

#include "app/catalogue_commands.h"
#include "app/compare_command.h"
#include "app/find_command.h"
#include "app/headless_save.h"
#include "app/help_text.h"
#include "app/signal_catcher.h"
#include "app/standard_streams.h"
#include "runtime/documents_folder.h"
#include "runtime/open_file_limit.h"
#include "runtime/program_folder.h"

namespace quorvale::app {

namespace {

// Where a Save without --list-folder writes its list files.
runtime::ListFileFolderChoice ListFolderChoice(const std::string& given) {
    return runtime::ChooseListFileFolder(given, runtime::ExecutableFolderOrNone(),
                                         given.empty() ? runtime::ListFolderInDocuments() : "");
}

std::string DefaultListFolder() {
    return ListFolderChoice("").path;
}

// The folders a search looks in: those given (a drive's name standing for its latest listings in
// the catalogue), else the default places.
template <typename Request>
Request WithPlaces(Request request) {
    if (request.folders.empty()) {
        request.folders = DefaultPlaces(DefaultListFolder());
        request.defaultPlaces = true;
        return request;
    }
    std::vector<std::string> folders;
    for (const std::string& given : request.folders) {
        for (std::string& folder : ListingsByPathOrName(given))
            folders.push_back(std::move(folder));
    }
    request.folders = std::move(folders);
    return request;
}

// A command on one or two listings, each given by its path or its drive's name.
template <typename Command>
int WithListings(std::vector<std::string> given, const Command& command) {
    try {
        for (std::string& listing : given) listing = ListingByPathOrName(listing);
    } catch (const runtime::RuntimeError& error) {
        WriteError(ErrorMessage(error.what()));
        return 2;
    }
    return command(given);
}

}  // namespace

int RunCommandLine(int argc, char* argv[], const WindowRunner& runWindow) {
    std::signal(SIGPIPE, SIG_IGN);
    CatchTerminationSignals();
    const CommandLine line = ReadCommandLine(argc, argv);
    switch (line.action) {
        case CommandLine::Action::kWrong:
            WriteError("quorvale: " + line.wrong + " (see quorvale --help)\n");
            return kNotSaved;
        case CommandLine::Action::kHelp:
            return WriteOutput(HelpText());
        case CommandLine::Action::kVersion:
            return WriteOutput("quorvale " QUORVALE_VERSION "\n");
        case CommandLine::Action::kCompare:
            return WithListings(line.compared, [](const std::vector<std::string>& listings) {
                return RunCompare(listings[0], listings[1]);
            });
        case CommandLine::Action::kFind:
            return RunFind(WithPlaces(line.find));
        case CommandLine::Action::kExport:
            return WithListings({line.exported.listing},
                                [&line](const std::vector<std::string>& listings) {
                                    ExportCommand exported = line.exported;
                                    exported.listing = listings[0];
                                    return RunExport(exported);
                                });
        case CommandLine::Action::kVerify:
            return WithListings({line.verify.listing},
                                [&line](const std::vector<std::string>& listings) {
                                    VerifyRequest verify = line.verify;
                                    verify.listing = listings[0];
                                    return RunVerify(verify);
                                });
        case CommandLine::Action::kDuplicates:
            // Every listing's hashes are read side by side: a descriptor or a few each.
            runtime::RaiseOpenFileLimit();
            if (line.duplicates.listing.empty()) return RunDuplicates(WithPlaces(line.duplicates));
            return WithListings({line.duplicates.listing},
                                [&line](const std::vector<std::string>& listings) {
                                    DuplicatesRequest request = WithPlaces(line.duplicates);
                                    request.listing = listings[0];
                                    return RunDuplicates(request);
                                });
        case CommandLine::Action::kSizes:
            return WithListings({line.sizes.listing},
                                [&line](const std::vector<std::string>& listings) {
                                    SizesRequest request = line.sizes;
                                    request.listing = listings[0];
                                    return RunSizes(request);
                                });
        case CommandLine::Action::kListings:
            return line.listingFolders.empty()
                       ? RunListings(DefaultPlaces(DefaultListFolder()), true)
                       : RunListings(line.listingFolders, false);
        case CommandLine::Action::kNote:
            return RunNote(line.listing, line.note);
        case CommandLine::Action::kForget:
            return RunForget(line.listing);
        case CommandLine::Action::kSave:
        case CommandLine::Action::kWindow:
            break;
    }
    runtime::RaiseOpenFileLimit();
    const std::string given = line.listFolder.value_or("");
    runtime::SystemRuntimeServices runtime(ListFolderChoice(given));
    if (line.action == CommandLine::Action::kSave) {
        reading::ListingOptions options;
        options.oneFileSystem = line.oneFileSystem;
        options.excludes = line.excludes;
        options.details = line.details;
        options.hash = line.hash;
        options.hashReadOrder = line.readOrder;
        const bool reuseLatest = line.reuse && line.reuse->empty();
        const ReuseChoice reuse{reuseLatest ? std::nullopt : line.reuse, line.reuseTrust};
        if (!line.listFolder) {
            return RunCatalogueSave(line.folder, options, reuse, reuseLatest, ListFolderChoice(""));
        }
        return RunHeadlessSave(line.folder, runtime, options, reuse);
    }
    return runWindow(line, runtime);
}

}  // namespace quorvale::app
