// The window's own program. `quorvale` itself never loads the window system's libraries: --help,
// --version, --save and a wrong command line start in a few milliseconds; for the window it hands
// its command line to this program, which lives beside it in a build and in the installed
// libexec folder in a package.
#pragma once

#include <string>

namespace quorvale::app {

inline constexpr const char* kWindowProgramName = "quorvale-window";
// Where the package installs it, below the installation prefix.
inline constexpr const char* kInstalledWindowFolder = "libexec/quorvale";

// Runs the window's program with `argv` (argv[0] kept), looked for beside this program's
// executable; returns only if it could not be started, with a message for stderr.
std::string StartWindowProgram(char* argv[]);

}  // namespace quorvale::app
