#include "app/window_program.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/path_join.h"
#include "runtime/program_folder.h"

namespace quorvale::app {

std::string StartWindowProgram(char* argv[]) {
    const std::string executableFolder = runtime::ExecutableFolderOrNone();
    // Beside this program (a build, a copy), then where the package puts it.
    const std::string installedFolder =
        runtime::JoinPath(runtime::JoinPath(executableFolder, ".."), kInstalledWindowFolder);
    const std::string candidates[] = {
        runtime::JoinPath(executableFolder, kWindowProgramName),
        runtime::JoinPath(installedFolder, kWindowProgramName),
    };
    int error = ENOENT;
    for (const std::string& candidate : candidates) {
        ::execv(candidate.c_str(), argv);
        if (errno != ENOENT) error = errno;
    }
    return std::string("cannot start the window (") + kWindowProgramName +
           "): " + std::strerror(error);
}

}  // namespace quorvale::app
