// A shared library opened the first time it is wanted rather than linked, so that the commands
// that never want it do not pay for loading it at their start. It stays open for the life of the
// process: what was found in it may be called until the end.
#pragma once

#include <dlfcn.h>

#include <string>

namespace quorvale::runtime {

class LibraryOnDemand {
  public:
    explicit LibraryOnDemand(const char* name)
        : name_(name), handle_(::dlopen(name, RTLD_NOW | RTLD_LOCAL)) {
        if (handle_ == nullptr) {
            const char* why = ::dlerror();
            failure_ = why != nullptr ? why : std::string(name) + " cannot be loaded";
        }
    }

    // `function` as the library has it (none when it cannot be had); the first one missing is
    // said in Failure().
    template <typename Function>
    void Find(const char* symbol, Function& function) {
        function =
            handle_ != nullptr ? reinterpret_cast<Function>(::dlsym(handle_, symbol)) : nullptr;
        if (function == nullptr && failure_.empty()) {
            failure_ = std::string(name_) + " has no " + symbol;
        }
    }

    // Why the library or a function of it could not be had; empty when everything asked was.
    const std::string& Failure() const { return failure_; }

  private:
    const char* name_;
    void* handle_;
    std::string failure_;
};

}  // namespace quorvale::runtime
