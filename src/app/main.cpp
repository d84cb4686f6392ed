// The program's entry, with no window system library loaded: --help, --version, --save and a wrong
// command line are handled here; the window is its own program, started with the same command
// line (see window_program.h).
#include "app/headless_save.h"
#include "app/program_entry.h"
#include "app/standard_streams.h"
#include "app/window_program.h"

int main(int argc, char* argv[]) {
    return quorvale::app::RunCommandLine(
        argc, argv, [argv](const quorvale::app::CommandLine&, quorvale::runtime::RuntimeServices&) {
            quorvale::app::WriteError("quorvale: " + quorvale::app::StartWindowProgram(argv) +
                                      "\n");
            return quorvale::app::kNotSaved;
        });
}
