#include "support/listing_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "listing/list_file_name.h"

namespace quorvale::support {

TempDir::TempDir(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp " + pattern);
    path_ = pattern;
    // Searchable by everyone, so that tests can walk it as an unprivileged user.
    ::chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
    if (!keep_) RemoveTree(path_);
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

bool RemoveTree(const std::string& path) {
    // chmod and rm walk by handles, so trees past the path limit go too.
    const std::string quoted = "'" + path + "'";
    const std::string command =
        "chmod -R u+rwx " + quoted + " 2>/dev/null; rm -rf -- " + quoted + " 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

std::vector<std::string> SplitAtCrLf(const std::string& bytes, bool* whole) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    if (whole != nullptr) *whole = true;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            if (whole != nullptr) *whole = false;
            lines.push_back(bytes.substr(start));
            break;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::vector<std::string> ReadListFiles(const std::string& folder, int last, bool* fullFiles) {
    std::vector<std::string> all;
    if (fullFiles != nullptr) *fullFiles = true;
    for (int n = 1; n <= last; ++n) {
        const auto lines = SplitAtCrLf(ReadBytes(listing::ListFilePath(folder, n)));
        if (n < last && lines.size() != 32000 && fullFiles != nullptr) *fullFiles = false;
        all.insert(all.end(), lines.begin(), lines.end());
    }
    return all;
}

std::vector<std::string> ListedPaths(const std::vector<std::string>& lines) {
    std::vector<std::string> paths;
    std::string folder;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.rfind("\t\t", 0) == 0) {
            paths.push_back(folder + "/" + line.substr(2));
        } else if (line.rfind("\t", 0) == 0) {
            folder = line.substr(1);
            paths.push_back(folder);
        } else {
            paths.push_back("?" + line);
        }
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

}  // namespace quorvale::support
