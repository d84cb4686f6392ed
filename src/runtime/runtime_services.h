// What the listing core needs of the platform, behind one interface that tests replace: the folder
// the list files go to and the output they are written with. Plain C++ and POSIX; nothing here
// knows about widgets.
#pragma once

#include <memory>
#include <string>

#include "runtime/folder_lock.h"
#include "runtime/runtime_error.h"
#include "runtime/text_output.h"

namespace quorvale::runtime {

class RuntimeServices {
  public:
    virtual ~RuntimeServices() = default;
    // The folder the list files are written to, without a trailing "/" (except "/" itself).
    virtual std::string ListFileFolder() = 0;
    // Creates the list files' folder if it is one that is made when first needed.
    virtual void PrepareListFileFolder() {}
    // Prepares the list files' folder, opens it and locks it for one Save (see FolderLock).
    virtual std::unique_ptr<FolderLock> LockListFileFolder();
    // Starts the output of the list file `name` in the locked folder (see TextOutput: whole or
    // not at all), relative to the lock's handle.
    virtual std::unique_ptr<TextOutput> OpenForOutput(const FolderLock& folder,
                                                      const std::string& name) = 0;
};

// Where the list files go: `chosen` when one is given (created when first needed); otherwise the
// executable's folder when it is not an installed copy's (see IsInstalledFolder) and the user may
// write there (a program run from a folder of its own: a build folder, a portable copy); otherwise
// `fallback` (the "Quorvale" folder in the user's documents), created when first needed.
struct ListFileFolderChoice {
    std::string path;
    bool createWhenNeeded = false;
};
ListFileFolderChoice ChooseListFileFolder(const std::string& chosen,
                                          const std::string& executableFolder,
                                          const std::string& fallback);

// Whether `realFolder` (a folder's real path, links resolved) holds installed programs: it lies
// under /usr, /bin, /sbin or /opt, or under `installPrefix`, the prefix the program was built for
// (ignored when it is empty or "/"). An installed copy never writes beside itself, also as root.
bool IsInstalledFolder(const std::string& realFolder, const std::string& installPrefix);

// The real services: list files in a given folder (by default the executable's), POSIX output.
class SystemRuntimeServices final : public RuntimeServices {
  public:
    SystemRuntimeServices();
    explicit SystemRuntimeServices(std::string folder, Durability durability = Durability::kSynced)
        : folder_{std::move(folder), false}, durability_(durability) {}
    explicit SystemRuntimeServices(ListFileFolderChoice folder) : folder_(std::move(folder)) {}
    std::string ListFileFolder() override;
    void PrepareListFileFolder() override;
    std::unique_ptr<TextOutput> OpenForOutput(const FolderLock& folder,
                                              const std::string& name) override;

  private:
    ListFileFolderChoice folder_;  // an empty path: the executable's folder, looked up when asked
    Durability durability_ = Durability::kSynced;
};

}  // namespace quorvale::runtime
