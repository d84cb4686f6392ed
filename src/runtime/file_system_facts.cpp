#include "runtime/file_system_facts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "runtime/path_join.h"

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

// A field of the mount table with its escapes undone: "\040" is a space, "\011" a tab, "\012" a
// newline, "\134" a backslash.
std::string Unescaped(const std::string& field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const auto isOctal = [&](std::size_t at) { return field[at] >= '0' && field[at] <= '7'; };
        const bool octal = field[i] == '\\' && i + 3 < field.size() && isOctal(i + 1) &&
                           isOctal(i + 2) && isOctal(i + 3);
        if (octal) {
            text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

std::string DeviceText(dev_t device) {
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

std::string ReadFileText(const char* path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

std::vector<MountLine> ReadMountTable(const std::string& text) {
    std::vector<MountLine> table;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string id, parent;
        MountLine mount;
        fields >> id >> parent >> mount.device >> mount.root >> mount.mountPoint;
        mount.root = Unescaped(mount.root);
        mount.mountPoint = Unescaped(mount.mountPoint);
        for (std::string field; fields >> field;) {
            if (field == "-") {
                fields >> mount.type >> mount.source;
                break;
            }
        }
        if (!mount.device.empty()) table.push_back(std::move(mount));
    }
    return table;
}

std::string MountPointOf(const std::vector<MountLine>& table, const std::string& device) {
    for (const MountLine& mount : table) {
        if (mount.device == device && mount.root == "/") return mount.mountPoint;
    }
    return {};
}

std::string MountPointOfDrive(const std::string& uuid, const std::string& label) {
    const std::string link = !uuid.empty()    ? "/dev/disk/by-uuid/" + uuid
                             : !label.empty() ? "/dev/disk/by-label/" + label
                                              : std::string();
    struct stat st {};
    if (link.empty() || link.find('/', 18) != std::string::npos || ::stat(link.c_str(), &st) != 0 ||
        !S_ISBLK(st.st_mode)) {
        return {};
    }
    return MountPointOf(ReadMountTable(ReadFileText("/proc/self/mountinfo")),
                        DeviceText(st.st_rdev));
}

FileSystemFacts DescribeFileSystemOf(int fd) {
    FileSystemFacts facts;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return facts;
    facts.device = DeviceText(st.st_dev);
    const std::vector<MountLine> table = ReadMountTable(ReadFileText("/proc/self/mountinfo"));
    for (const MountLine& mount : table) {
        if (mount.device != facts.device) continue;
        facts.type = mount.type;
        facts.source = mount.source;
        break;
    }
    facts.mountPoint = MountPointOf(table, facts.device);
    facts.uuid = DeviceNameIn("/dev/disk/by-uuid", st.st_dev);
    facts.label = DeviceNameIn("/dev/disk/by-label", st.st_dev);
    return facts;
}

std::string DriveModel(const std::string& device, const std::string& sysfs) {
    const std::size_t slash = device.find_last_of('/');
    const std::string name = slash == std::string::npos ? device : device.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return {};
    // A partition's folder lies in its disk's, which names the model.
    char* real = ::realpath((sysfs + "/class/block/" + name).c_str(), nullptr);
    if (real == nullptr) return {};
    std::string folder = real;
    std::free(real);
    for (int up = 0; up < 2 && !folder.empty(); ++up) {
        std::ifstream file(folder + "/device/model");
        std::string model;
        if (std::getline(file, model)) {
            while (!model.empty() && (model.back() == ' ' || model.back() == '\n'))
                model.pop_back();
            if (!model.empty()) return model;
        }
        folder = folder.substr(0, folder.find_last_of('/'));
    }
    return {};
}

std::string DriveTitle(const std::string& label, const std::string& model, std::uint64_t bytes,
                       const std::string& mountPoint) {
    std::string title = label;
    if (title.empty()) title = model;
    if (title.empty()) title = LastPathPart(mountPoint);
    if (bytes == 0) return title;
    static constexpr const char* kUnits[] = {"B", "kB", "MB", "GB", "TB", "PB", "EB"};
    double size = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (size >= 1000 && unit + 1 < std::size(kUnits)) {
        size /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? " (%.0f %s)" : " (%.1f %s)", size, kUnits[unit]);
    return title + text;
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace quorvale::runtime
