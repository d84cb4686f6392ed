// Joining a folder and a name, the one way the program does it: "/" between them, never doubled
// where the folder already ends in one; and the name again, the last part of a path. Bytes in,
// bytes out.
#pragma once

#include <cstring>
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

// `path` moved from below the folder `from` to below `to` ("/media/a/x" from "/media/a" to
// "/mnt/b": "/mnt/b/x"); empty when `path` is not `from` or below it.
inline std::string RerootPath(std::string_view path, std::string_view from, std::string_view to) {
    if (from.empty() || !path.starts_with(from)) return {};
    std::string_view rest = path.substr(from.size());
    if (!rest.empty() && from.back() != '/' && rest.front() != '/')
        return {};  // "/ab" is not below "/a"
    while (rest.starts_with('/')) rest.remove_prefix(1);
    if (rest.empty()) return std::string(to);
    std::string moved;
    AppendPath(moved, to, rest);
    return moved;
}

// The last part of `path`, after its last "/" (looked for from the end): an entry's name; all of
// `path` when it holds no "/" or ends with one (a root such as "/").
inline std::string_view LastPathPart(std::string_view path) {
    if (path.empty()) return path;
    const void* slash = ::memrchr(path.data(), '/', path.size());
    if (slash == nullptr) return path;
    const auto after = static_cast<std::size_t>(static_cast<const char*>(slash) - path.data()) + 1;
    return after == path.size() ? path : path.substr(after);
}

// `folder` + "/" + `name`, as AppendPath joins them.
inline std::string JoinPath(std::string_view folder, std::string_view name) {
    std::string path;
    path.reserve(folder.size() + 1 + name.size());
    AppendPath(path, folder, name);
    return path;
}

}  // namespace quorvale::runtime
