#include "runtime/documents_folder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "runtime/unique_fd.h"

namespace quorvale::runtime {

namespace {

// Far more than any user folders file holds.
constexpr off_t kMostUserDirsBytes = 1 << 20;

std::string Home() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') return home;
    const passwd* user = ::getpwuid(::getuid());
    return user != nullptr && user->pw_dir != nullptr ? user->pw_dir : "";
}

// The value of XDG_DOCUMENTS_DIR in a user-dirs.dirs file: a line XDG_DOCUMENTS_DIR="…", the
// value either absolute or "$HOME/…"; empty if there is none.
std::string FromUserDirs(const std::string& file, const std::string& home) {
    // A regular file of a sensible size only: a fifo or a device there must not hold the program
    // at its start. Read with stdio rather than a stream, which would set up the C++ locales.
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) return {};
    struct stat st {};
    FILE* in =
        ::fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMostUserDirsBytes
            ? ::fdopen(fd.Get(), "rb")
            : nullptr;
    if (in == nullptr) return {};
    (void)fd.Release();  // the stream owns it now, closed with it
    std::string found;
    const std::string key = "XDG_DOCUMENTS_DIR=\"";
    char* read = nullptr;
    std::size_t capacity = 0;
    for (ssize_t length; (length = ::getline(&read, &capacity, in)) >= 0;) {
        std::string line(read, static_cast<std::size_t>(length));
        if (line.ends_with('\n')) line.pop_back();
        if (line.rfind(key, 0) != 0) continue;
        const std::size_t end = line.rfind('"');
        if (end == std::string::npos || end < key.size()) continue;
        std::string value = line.substr(key.size(), end - key.size());
        if (value.rfind("$HOME", 0) == 0) {
            value = home + value.substr(5);
        } else if (value.empty() || value[0] != '/') {
            continue;
        }
        found = value;
    }
    std::free(read);
    std::fclose(in);
    return found;
}

}  // namespace

std::string DocumentsFolder() {
    const std::string home = Home();
    if (home.empty()) return {};
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::string configFolder =
        config != nullptr && *config == '/' ? std::string(config) : home + "/.config";
    std::string documents = FromUserDirs(configFolder + "/user-dirs.dirs", home);
    while (documents.size() > 1 && documents.back() == '/') documents.pop_back();
    return documents.empty() ? home + "/Documents" : documents;
}

std::string ListFolderInDocuments() {
    const std::string documents = DocumentsFolder();
    return documents.empty() ? documents : documents + "/Quorvale";
}

std::string DataFolder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && *data == '/') return std::string(data) + "/quorvale";
    const std::string home = Home();
    return home.empty() ? home : home + "/.local/share/quorvale";
}

}  // namespace quorvale::runtime
