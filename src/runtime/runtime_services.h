// What the listing core needs of the platform, behind one interface that tests replace: the folder
// the list files go to and the output they are written with. Plain C++ and POSIX; nothing here
// knows about widgets.
#pragma once

#include <memory>
#include <string>

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
    // Starts the output of the file `path` (see TextOutput: whole or not at all).
    virtual std::unique_ptr<TextOutput> OpenForOutput(const std::string& path) = 0;
};

// Where the list files go: `chosen` when one is given (created when first needed); otherwise the
// executable's folder when the user may write there (a program run from a folder of its own);
// otherwise `fallback` (the "Quorvale" folder in the user's documents), created when first needed.
struct ListFileFolderChoice {
    std::string path;
    bool createWhenNeeded = false;
};
ListFileFolderChoice ChooseListFileFolder(const std::string& chosen,
                                          const std::string& executableFolder,
                                          const std::string& fallback);

// The real services: list files in a given folder (by default the executable's), POSIX output.
class SystemRuntimeServices final : public RuntimeServices {
  public:
    SystemRuntimeServices();
    explicit SystemRuntimeServices(std::string folder, Durability durability = Durability::kSynced)
        : folder_{std::move(folder), false}, durability_(durability) {}
    explicit SystemRuntimeServices(ListFileFolderChoice folder) : folder_(std::move(folder)) {}
    std::string ListFileFolder() override;
    void PrepareListFileFolder() override;
    std::unique_ptr<TextOutput> OpenForOutput(const std::string& path) override;

  private:
    ListFileFolderChoice folder_;  // an empty path: the executable's folder, looked up when asked
    Durability durability_ = Durability::kSynced;
};

}  // namespace quorvale::runtime
