#include "app/program_entry.h"

#include <csignal>
#include <string>

#include "app/compare_command.h"
#include "app/find_command.h"
#include "app/headless_save.h"
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
            return RunCompare(line.compared[0], line.compared[1]);
        case CommandLine::Action::kFind:
            // The default is looked for only when no folder is given.
            return RunFind(line.find, line.find.folders.empty() ? DefaultListFolder() : "");
        case CommandLine::Action::kExport:
            return RunExport(line.exported);
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
        return RunHeadlessSave(line.folder, runtime, options, {line.reuse, line.reuseTrust});
    }
    return runWindow(line, runtime);
}

}  // namespace quorvale::app
