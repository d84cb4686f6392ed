// The program's entry. The command line is read before anything else, so --help, --version and a
// wrong option never need a display. With --save the listing runs without a window; otherwise the
// main window is created on the real file system and runtime services, with the folder given on
// the command line chosen, and the event loop runs until the window is closed. SIGTERM, SIGINT and
// SIGHUP close the window the way Exit does.
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QStyleFactory>
#include <cstdio>
#include <optional>
#include <string>

#include "app/headless_save.h"
#include "app/termination_signals.h"
#include "listing/posix_file_system.h"
#include "runtime/open_file_limit.h"
#include "runtime/program_folder.h"
#include "runtime/runtime_services.h"
#include "window/main_window.h"

namespace {

struct CommandLine {
    std::optional<int> exitStatus;  // set when the program ends after reading it
    std::string folder;             // chosen at start
    std::string saveFolder;         // listed without a window
    std::string listFileFolder;     // where the list files go, when given
    std::string documentsFolder;    // the user's documents, as the desktop reports them
};

// The argument's own bytes: what the user typed, also where it is not UTF-8.
std::string ArgumentBytes(const QString& value, int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (QString::fromLocal8Bit(argv[i]) == value) return argv[i];
    }
    return QFile::encodeName(value).toStdString();
}

CommandLine ReadCommandLine(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("quorvale");
    QCoreApplication::setApplicationVersion(QUORVALE_VERSION);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Lists every folder and file below a folder into ListTex1.txt, ListTex2.txt, ...");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption save("save", "List DIR without a window, then end.", "DIR");
    const QCommandLineOption listFolder("list-folder", "Write the list files into DIR.", "DIR");
    parser.addOption(save);
    parser.addOption(listFolder);
    parser.addPositionalArgument("folder", "The folder to choose at start.", "[folder]");

    CommandLine line;
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "quorvale: %s (see quorvale --help)\n",
                     parser.errorText().toLocal8Bit().constData());
        line.exitStatus = 2;
        return line;
    }
    if (parser.isSet(help)) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        line.exitStatus = 0;
        return line;
    }
    if (parser.isSet(version)) {
        std::printf("quorvale %s\n", QUORVALE_VERSION);
        line.exitStatus = 0;
        return line;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        std::fputs("quorvale: give at most one folder (see quorvale --help)\n", stderr);
        line.exitStatus = 2;
        return line;
    }
    if (!positional.isEmpty()) line.folder = ArgumentBytes(positional.front(), argc, argv);
    if (parser.isSet(save)) line.saveFolder = ArgumentBytes(parser.value(save), argc, argv);
    if (parser.isSet(listFolder)) {
        line.listFileFolder = ArgumentBytes(parser.value(listFolder), argc, argv);
    }
    line.documentsFolder =
        QFile::encodeName(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
            .toStdString();
    return line;
}

std::string ExecutableFolderOrNone() {
    try {
        return quorvale::runtime::ExecutableFolder();
    } catch (const quorvale::runtime::RuntimeError&) {
        return {};
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    quorvale::app::CatchTerminationSignals();
    const CommandLine line = ReadCommandLine(argc, argv);
    if (line.exitStatus) return *line.exitStatus;
    quorvale::runtime::RaiseOpenFileLimit();
    quorvale::runtime::SystemRuntimeServices runtime(quorvale::runtime::ChooseListFileFolder(
        line.listFileFolder, ExecutableFolderOrNone(), line.documentsFolder + "/Quorvale"));
    if (!line.saveFolder.empty()) return quorvale::app::RunHeadlessSave(line.saveFolder, runtime);

    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    QApplication::setDesktopFileName("quorvale");
    quorvale::listing::PosixFileSystem fileSystem;
    quorvale::window::MainWindow window(runtime, fileSystem);
    quorvale::app::TerminationSignals terminationSignals([&window](int) { window.close(); });
    window.show();
    if (!line.folder.empty()) window.ChooseFolder(line.folder);
    return QApplication::exec();
}
