#include "runtime/runtime_services.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/path_join.h"
#include "runtime/program_folder.h"

namespace quorvale::runtime {

SystemRuntimeServices::SystemRuntimeServices() = default;

std::unique_ptr<FolderLock> RuntimeServices::LockListFileFolder() {
    PrepareListFileFolder();
    return std::make_unique<FolderLock>(ListFileFolder());
}

bool IsInstalledFolder(const std::string& realFolder, const std::string& installPrefix) {
    const auto under = [&realFolder](std::string_view top) {
        return realFolder == top || (realFolder.size() > top.size() &&
                                     realFolder.starts_with(top) && realFolder[top.size()] == '/');
    };
    for (const std::string_view top : {"/usr", "/bin", "/sbin", "/opt"}) {
        if (under(top)) return true;
    }
    std::string prefix = installPrefix;
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    return !prefix.empty() && prefix != "/" && under(prefix);
}

ListFileFolderChoice ChooseListFileFolder(const std::string& chosen,
                                          const std::string& executableFolder,
                                          const std::string& fallback) {
    if (!chosen.empty()) return {chosen, true};
    if (!executableFolder.empty() &&
        !IsInstalledFolder(executableFolder, QUORVALE_INSTALL_PREFIX) &&
        ::access(executableFolder.c_str(), W_OK) == 0) {
        return {executableFolder, false};
    }
    return {fallback, true};
}

std::string SystemRuntimeServices::ListFileFolder() {
    return folder_.path.empty() ? ExecutableFolder() : folder_.path;
}

void SystemRuntimeServices::PrepareListFileFolder() {
    if (!folder_.createWhenNeeded) return;
    // Each missing folder of the path in turn, as `mkdir -p` does.
    for (std::size_t slash = folder_.path.find('/', 1);;
         slash = folder_.path.find('/', slash + 1)) {
        const std::string part = folder_.path.substr(0, slash);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            throw ErrorFromErrno(errno, "Cannot create the list files' folder", part);
        }
        if (slash == std::string::npos) break;
    }
}

std::unique_ptr<TextOutput> SystemRuntimeServices::OpenForOutput(const FolderLock& folder,
                                                                 const std::string& name) {
    return std::make_unique<FileTextOutput>(folder.Handle(), name, JoinPath(folder.Path(), name),
                                            durability_);
}

}  // namespace quorvale::runtime
