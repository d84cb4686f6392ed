// Joining a folder and a name, the one way the program does it: "/" between them, never doubled
// where the folder already ends in one. Bytes in, bytes out.
#pragma once

#include <string>
#include <string_view>

namespace quorvale::runtime {

// Appends `folder` + "/" + `name` to `out`.
inline void AppendPath(std::string& out, std::string_view folder, std::string_view name) {
    out += folder;
    if (folder.empty() || folder.back() != '/') out += '/';
    out += name;
}

// Appends "/" + `name` to the folder `path` holds, in place; an empty `path` takes `name` alone.
inline void AppendName(std::string& path, std::string_view name) {
    if (!path.empty() && path.back() != '/') path += '/';
    path += name;
}

// `folder` + "/" + `name`, as AppendPath joins them.
inline std::string JoinPath(std::string_view folder, std::string_view name) {
    std::string path;
    path.reserve(folder.size() + 1 + name.size());
    AppendPath(path, folder, name);
    return path;
}

}  // namespace quorvale::runtime
