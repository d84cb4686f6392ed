// What `quorvale` and the window's program both do with a command line read from argv's own bytes:
// --help, --version and a wrong command line are answered, --save runs without a window, and only
// for the window is `runWindow` called, with the list folder's runtime services.
#pragma once

#include <functional>

#include "app/command_line.h"
#include "runtime/runtime_services.h"

namespace quorvale::app {

using WindowRunner = std::function<int(const CommandLine&, runtime::RuntimeServices&)>;

// The exit status. Ignores SIGPIPE (a reader that goes away is seen as a failed write) and
// catches the termination signals for the Save.
int RunCommandLine(int argc, char* argv[], const WindowRunner& runWindow);

}  // namespace quorvale::app
