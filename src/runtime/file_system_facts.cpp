#include "runtime/file_system_facts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace quorvale::runtime {

namespace {

// The name in `folder` (such as /dev/disk/by-uuid) of a link to the block device `device`.
std::string DeviceNameIn(const char* folder, dev_t device) {
    std::string found;
    DIR* dir = ::opendir(folder);
    if (dir == nullptr) return found;
    while (const dirent* entry = ::readdir(dir)) {
        struct stat st {};
        if (entry->d_name[0] == '.' || ::fstatat(::dirfd(dir), entry->d_name, &st, 0) != 0) {
            continue;
        }
        if (S_ISBLK(st.st_mode) && st.st_rdev == device) {
            found = entry->d_name;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

}  // namespace

FileSystemFacts DescribeFileSystemOf(int fd) {
    FileSystemFacts facts;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return facts;
    facts.device = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    // "id parent major:minor root mount-point options [optional fields] - type source options"
    std::ifstream table("/proc/self/mountinfo");
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string id, parent, device;
        fields >> id >> parent >> device;
        if (device != facts.device) continue;
        for (std::string field; fields >> field;) {
            if (field == "-") {
                fields >> facts.type >> facts.source;
                break;
            }
        }
        break;
    }
    facts.uuid = DeviceNameIn("/dev/disk/by-uuid", st.st_dev);
    facts.label = DeviceNameIn("/dev/disk/by-label", st.st_dev);
    return facts;
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace quorvale::runtime
