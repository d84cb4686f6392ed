// The window's program, started by `quorvale` with its own command line (see window_program.h).
// The command line is read again, the same way; the main window is created on the real file system
// and runtime services, with the folder given on the command line chosen, and the event loop runs
// until the window is closed. SIGTERM, SIGINT and SIGHUP close the window the way Exit does.
// SIGPIPE is ignored: a reader that goes away is seen as a failed write. Started by itself, it
// does all that `quorvale` does. Without a display to show the window on it says so in one line
// and ends with status 2, before or instead of the window system's own abort.
#include <unistd.h>

#include <QApplication>
#include <QStyleFactory>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/display_check.h"
#include "app/program_entry.h"
#include "app/standard_streams.h"
#include "app/termination_signals.h"
#include "reading/posix_file_system.h"
#include "runtime/runtime_services.h"
#include "window/main_window.h"

namespace {

// While the window system starts, its messages are held back: when it cannot start (a display
// named but not answering, a platform that cannot be loaded) its fatal message and the warnings
// that led to it become our one sentence; when it starts, they are passed on as they came.
class StartUpMessages {
  public:
    StartUpMessages() { previous_ = qInstallMessageHandler(&StartUpMessages::Hold); }
    ~StartUpMessages() {
        qInstallMessageHandler(previous_);
        for (const Held& message : held_) {
            const QMessageLogContext context(message.file, message.line, message.function,
                                             message.category);
            previous_(message.type, context, message.text);
        }
    }
    StartUpMessages(const StartUpMessages&) = delete;
    StartUpMessages& operator=(const StartUpMessages&) = delete;

  private:
    struct Held {
        QtMsgType type;
        // The context's strings are literals of the code that logged.
        const char* file;
        int line;
        const char* function;
        const char* category;
        QString text;
    };

    static void Hold(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (type == QtFatalMsg) {
            quorvale::app::WriteError(quorvale::app::kNoDisplayMessage);
            ::_exit(quorvale::app::kNoDisplayStatus);
        }
        held_.push_back(
            {type, context.file, context.line, context.function, context.category, text});
    }

    static inline QtMessageHandler previous_ = nullptr;
    static inline std::vector<Held> held_;
};

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
    if (!quorvale::app::DisplayNamed(line.toolkitOptions,
                                     quorvale::app::DisplayEnvironment::FromProcess())) {
        quorvale::app::WriteError(quorvale::app::kNoDisplayMessage);
        return quorvale::app::kNoDisplayStatus;
    }
    std::optional<StartUpMessages> startUp(std::in_place);
    QApplication app(argc, argv.data());
    startUp.reset();
    if (!styleGiven) QApplication::setStyle(QStyleFactory::create("Fusion"));
    QApplication::setDesktopFileName("quorvale");
    quorvale::reading::PosixFileSystem fileSystem;
    quorvale::window::MainWindow window(runtime, fileSystem);
    quorvale::app::TerminationSignals terminationSignals([&window](int) { window.close(); });
    window.show();
    if (!line.folder.empty()) window.ChooseFolder(line.folder);
    return QApplication::exec();
}

}  // namespace

int main(int argc, char* argv[]) {
    return quorvale::app::RunCommandLine(argc, argv,
                                         [argv](const quorvale::app::CommandLine& line,
                                                quorvale::runtime::RuntimeServices& runtime) {
                                             return RunWindow(line, runtime, argv[0]);
                                         });
}
