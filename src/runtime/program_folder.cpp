#include "runtime/program_folder.h"

#include <unistd.h>

#include <cerrno>

#include "runtime/runtime_error.h"

namespace quorvale::runtime {

std::string ExecutableFolder() {
    std::string exe(4096, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size());
        if (n < 0)
            throw ErrorFromErrno(errno, "Cannot find the program's folder from", "/proc/self/exe");
        if (static_cast<std::size_t>(n) < exe.size()) {
            exe.resize(static_cast<std::size_t>(n));
            break;
        }
        exe.resize(exe.size() * 2);
    }
    const auto slash = exe.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return exe.substr(0, slash);
}

std::string ExecutableFolderOrNone() {
    try {
        return ExecutableFolder();
    } catch (const RuntimeError&) {
        return {};
    }
}

}  // namespace quorvale::runtime
