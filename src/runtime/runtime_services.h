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
    virtual std::string ProgramFolder() = 0;
    // Starts the output of the file `path` (see TextOutput: whole or not at all).
    virtual std::unique_ptr<TextOutput> OpenForOutput(const std::string& path) = 0;
};

// The real services: list files in a given folder (by default the executable's), POSIX output.
class SystemRuntimeServices final : public RuntimeServices {
  public:
    SystemRuntimeServices();
    explicit SystemRuntimeServices(std::string folder, Durability durability = Durability::kSynced)
        : folder_(std::move(folder)), durability_(durability) {}
    std::string ProgramFolder() override;
    std::unique_ptr<TextOutput> OpenForOutput(const std::string& path) override;

  private:
    std::string folder_;  // empty: the executable's folder, looked up when asked
    Durability durability_ = Durability::kSynced;
};

}  // namespace quorvale::runtime
