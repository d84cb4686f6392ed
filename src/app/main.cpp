// The program's entry: creates the main window on the real file system and runtime services,
// shows it, and runs the event loop until the window is closed. SIGTERM, SIGINT and SIGHUP close
// the window the way Exit does.
#include <QApplication>
#include <QStyleFactory>

#include "app/termination_signals.h"
#include "listing/posix_file_system.h"
#include "runtime/open_file_limit.h"
#include "runtime/runtime_services.h"
#include "window/main_window.h"

int main(int argc, char* argv[]) {
    quorvale::runtime::RaiseOpenFileLimit();
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create("Fusion"));
    quorvale::runtime::SystemRuntimeServices runtime;
    quorvale::listing::PosixFileSystem fileSystem;
    quorvale::window::MainWindow window(runtime, fileSystem);
    quorvale::app::TerminationSignals terminationSignals([&window](int) { window.close(); });
    window.show();
    return QApplication::exec();
}
