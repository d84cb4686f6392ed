// The program's entry. The command line is read from argv's own bytes before anything else, so
// --help, --version, --save and a wrong option never need a display. With --save the listing runs
// without a window and without starting the window system; otherwise the main window is created
// on the real file system and runtime services, with the folder given on the command line chosen,
// and the event loop runs until the window is closed. SIGTERM, SIGINT and SIGHUP close the window
// the way Exit does. SIGPIPE is ignored: a reader that goes away is seen as a failed write.
#include <unistd.h>

#include <QApplication>
#include <QFile>
#include <QStandardPaths>
#include <QStyleFactory>
#include <csignal>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/headless_save.h"
#include "app/standard_streams.h"
#include "app/termination_signals.h"
#include "listing/posix_file_system.h"
#include "runtime/open_file_limit.h"
#include "runtime/program_folder.h"
#include "runtime/runtime_services.h"
#include "window/main_window.h"

namespace {

std::string ExecutableFolderOrNone() {
    try {
        return quorvale::runtime::ExecutableFolder();
    } catch (const quorvale::runtime::RuntimeError&) {
        return {};
    }
}

std::string DocumentsListFolder() {
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return QFile::encodeName(documents).toStdString() + "/Quorvale";
}

int RunWindow(const quorvale::app::CommandLine& line, quorvale::runtime::RuntimeServices& runtime,
              char* program) {
    // The toolkit sees only its own options; ours are read already.
    std::vector<std::string> toolkitArguments = line.toolkitOptions;
    std::vector<char*> argv{program};
    bool styleGiven = false;
    for (std::string& argument : toolkitArguments) {
        styleGiven = styleGiven || argument == "-style" || argument.starts_with("-style=");
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    int argc = static_cast<int>(argv.size()) - 1;
    QApplication app(argc, argv.data());
    if (!styleGiven) QApplication::setStyle(QStyleFactory::create("Fusion"));
    QApplication::setDesktopFileName("quorvale");
    quorvale::listing::PosixFileSystem fileSystem;
    quorvale::window::MainWindow window(runtime, fileSystem);
    quorvale::app::TerminationSignals terminationSignals([&window](int) { window.close(); });
    window.show();
    if (!line.folder.empty()) window.ChooseFolder(line.folder);
    return QApplication::exec();
}

}  // namespace

int main(int argc, char* argv[]) {
    using quorvale::app::CommandLine;
    std::signal(SIGPIPE, SIG_IGN);
    quorvale::app::CatchTerminationSignals();
    const CommandLine line = quorvale::app::ReadCommandLine(argc, argv);
    switch (line.action) {
        case CommandLine::Action::kWrong:
            quorvale::app::WriteError("quorvale: " + line.wrong + " (see quorvale --help)\n");
            return quorvale::app::kNotSaved;
        case CommandLine::Action::kHelp:
            return quorvale::app::WriteOutput(quorvale::app::HelpText());
        case CommandLine::Action::kVersion:
            return quorvale::app::WriteOutput("quorvale " QUORVALE_VERSION "\n");
        case CommandLine::Action::kSave:
        case CommandLine::Action::kWindow:
            break;
    }
    quorvale::runtime::RaiseOpenFileLimit();
    const std::string executableFolder = ExecutableFolderOrNone();
    const std::string given = line.listFolder.value_or("");
    quorvale::runtime::SystemRuntimeServices runtime(quorvale::runtime::ChooseListFileFolder(
        given, executableFolder,
        given.empty() ? DocumentsListFolder() : std::string()));
    if (line.action == CommandLine::Action::kSave) {
        return quorvale::app::RunHeadlessSave(line.folder, runtime);
    }
    return RunWindow(line, runtime, argv[0]);
}
