#include "runtime/runtime_services.h"

#include <unistd.h>

#include "runtime/program_folder.h"

namespace quorvale::runtime {

SystemRuntimeServices::SystemRuntimeServices() = default;

std::string SystemRuntimeServices::ProgramFolder() {
    return folder_.empty() ? ExecutableFolder() : folder_;
}

std::unique_ptr<TextOutput> SystemRuntimeServices::OpenForOutput(const std::string& path) {
    return std::make_unique<FileTextOutput>(path);
}

void SystemRuntimeServices::RemoveFile(const std::string& path) {
    ::unlink(path.c_str());
}

}  // namespace quorvale::runtime
