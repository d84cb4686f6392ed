// The window's program, started by `quorvale` with its own command line (see window_program.h).
// The command line is read again, the same way; the main window is created on the real file system
// and runtime services, with the folder given on the command line chosen, and the event loop runs
// until the window is closed. SIGTERM, SIGINT and SIGHUP close the window the way Exit does.
// SIGPIPE is ignored: a reader that goes away is seen as a failed write. Started by itself, it
// does all that `quorvale` does.
#include <unistd.h>

#include <QApplication>
#include <QStyleFactory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/program_entry.h"
#include "app/termination_signals.h"
#include "listing/posix_file_system.h"
#include "runtime/runtime_services.h"
#include "window/main_window.h"

namespace {

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
    return quorvale::app::RunCommandLine(
        argc, argv,
        [argv](const quorvale::app::CommandLine& line, quorvale::runtime::RuntimeServices& runtime) {
            return RunWindow(line, runtime, argv[0]);
        });
}
