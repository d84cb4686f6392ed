// The folder that holds the running executable.
#pragma once

#include <string>

namespace quorvale::runtime {

// The executable's folder, without a trailing "/" (except "/" itself); throws RuntimeError.
std::string ExecutableFolder();
// The same, or empty when it cannot be known.
std::string ExecutableFolderOrNone();

}  // namespace quorvale::runtime
