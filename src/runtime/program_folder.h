// The folder that holds the running executable.
#pragma once

#include <string>

namespace quorvale::runtime {

// The executable's folder, without a trailing "/" (except "/" itself); throws RuntimeError.
std::string ExecutableFolder();

}  // namespace quorvale::runtime
