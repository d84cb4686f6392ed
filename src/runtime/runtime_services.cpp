#include "runtime/runtime_services.h"

#include "runtime/program_folder.h"

namespace quorvale::runtime {

SystemRuntimeServices::SystemRuntimeServices() = default;

std::string SystemRuntimeServices::ProgramFolder() {
    return folder_.empty() ? ExecutableFolder() : folder_;
}

std::unique_ptr<TextOutput> SystemRuntimeServices::OpenForOutput(const std::string& path) {
    return std::make_unique<FileTextOutput>(path, durability_);
}

}  // namespace quorvale::runtime
