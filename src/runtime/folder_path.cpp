#include "runtime/folder_path.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "runtime/path_join.h"
#include "runtime/runtime_error.h"

namespace quorvale::runtime {

std::string AbsoluteFolderPath(const std::string& path) {
    std::string joined = path;
    if (!joined.empty() && joined.front() != '/') {
        std::string cwd(4096, '\0');
        while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
            if (errno != ERANGE) throw ErrorFromErrno(errno, "Cannot find the folder of", path);
            cwd.resize(cwd.size() * 2);
        }
        cwd.resize(std::strlen(cwd.c_str()));
        joined = JoinPath(cwd, path);
    }
    // Drop empty and "." components; ".." stays, since a link may stand before it.
    std::string result;
    std::size_t start = 0;
    while (start <= joined.size()) {
        std::size_t end = joined.find('/', start);
        if (end == std::string::npos) end = joined.size();
        const std::string_view part(joined.data() + start, end - start);
        if (!part.empty() && part != ".") {
            result += '/';
            result += part;
        }
        start = end + 1;
    }
    return result.empty() ? "/" : result;
}

}  // namespace quorvale::runtime
