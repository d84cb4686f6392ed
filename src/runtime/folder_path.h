// A folder's path as the program shows and opens it, whatever form a person gave it in.
#pragma once

#include <string>

namespace quorvale::runtime {

// Normalises a user-given path for display and opening: a relative path is made absolute against
// the working folder, and repeated or trailing "/" and "." components are removed (".." stays:
// a link may stand before it). Bytes in, bytes out. Throws RuntimeError when the working folder
// cannot be found.
std::string AbsoluteFolderPath(const std::string& path);

}  // namespace quorvale::runtime
