#include "runtime/file_system_facts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <vector>

#include "runtime/human_size.h"
#include "runtime/library_on_demand.h"
#include "runtime/path_join.h"
#include "runtime/unique_fd.h"

// Declarations only: the library itself is loaded the first time a device is probed.
#include <blkid/blkid.h>
#include <linux/fs.h>

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

// libblkid's functions this file uses. The library is loaded the first time a device is probed,
// not linked: most commands never probe one, and loading it cost each of them at its start.
struct BlkidLibrary {
    decltype(&blkid_new_probe_from_filename) newProbe = nullptr;
    decltype(&blkid_probe_enable_superblocks) enableSuperblocks = nullptr;
    decltype(&blkid_probe_set_superblocks_flags) setSuperblocksFlags = nullptr;
    decltype(&blkid_do_safeprobe) safeProbe = nullptr;
    decltype(&blkid_probe_lookup_value) lookupValue = nullptr;
    decltype(&blkid_free_probe) freeProbe = nullptr;
};

// The library, loaded once whichever thread asks first; none where it cannot be loaded or lacks a
// function (a drive is then known from its mounted file system alone).
const BlkidLibrary* Blkid() {
    static const std::optional<BlkidLibrary> blkid = []() -> std::optional<BlkidLibrary> {
        BlkidLibrary found;
        LibraryOnDemand library("libblkid.so.1");
        library.Find("blkid_new_probe_from_filename", found.newProbe);
        library.Find("blkid_probe_enable_superblocks", found.enableSuperblocks);
        library.Find("blkid_probe_set_superblocks_flags", found.setSuperblocksFlags);
        library.Find("blkid_do_safeprobe", found.safeProbe);
        library.Find("blkid_probe_lookup_value", found.lookupValue);
        library.Find("blkid_free_probe", found.freeProbe);
        if (!library.Failure().empty()) return std::nullopt;
        return found;
    }();
    return blkid ? &*blkid : nullptr;
}

// The UUID and label written in the file system on the block device `source`, read by libblkid;
// false when the device cannot be read (an ordinary user may not), holds neither, or libblkid
// cannot be loaded.
bool ProbeDevice(const std::string& source, std::string& uuid, std::string& label) {
    if (!source.starts_with("/dev/")) return false;
    const BlkidLibrary* blkid = Blkid();
    if (blkid == nullptr) return false;
    blkid_probe probe = blkid->newProbe(source.c_str());
    if (probe == nullptr) return false;
    blkid->enableSuperblocks(probe, 1);
    blkid->setSuperblocksFlags(probe, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID);
    if (blkid->safeProbe(probe) == 0) {
        const char* value = nullptr;
        if (blkid->lookupValue(probe, "UUID", &value, nullptr) == 0) uuid = value;
        if (blkid->lookupValue(probe, "LABEL", &value, nullptr) == 0) label = value;
    }
    blkid->freeProbe(probe);
    return !uuid.empty() || !label.empty();
}

// The UUID as file systems print it: 8-4-4-4-12 hex digits.
std::string UuidText(const unsigned char* bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 15];
    }
    return text;
}

// The kernel's answer to "which UUID has this file system" (Linux 6.5 and later; older kernels
// and headers know no such request, and the call then fails harmlessly).
struct FileSystemUuid {
    std::uint8_t length;
    std::uint8_t bytes[16];
};
constexpr unsigned long kGetFileSystemUuid = _IOR(0x15, 0, FileSystemUuid);

// The UUID and label the mounted file system holding `fd` tells of itself (any user may ask);
// false when it tells neither.
bool AskFileSystem(int fd, std::string& uuid, std::string& label) {
    char name[FSLABEL_MAX + 1] = {};
    if (::ioctl(fd, FS_IOC_GETFSLABEL, name) == 0) label = name;
    FileSystemUuid id{};
    // A file system without a UUID of its own answers with sixteen zero bytes.
    if (::ioctl(fd, kGetFileSystemUuid, &id) == 0 && id.length == 16 &&
        std::any_of(std::begin(id.bytes), std::end(id.bytes),
                    [](std::uint8_t b) { return b != 0; })) {
        uuid = UuidText(id.bytes);
    }
    return !uuid.empty() || !label.empty();
}

std::string FsidText(const fsid_t& fsid) {
    char text[17];
    std::snprintf(text, sizeof text, "%08x%08x", static_cast<unsigned>(fsid.__val[0]),
                  static_cast<unsigned>(fsid.__val[1]));
    const std::string id = text;
    return id == "0000000000000000" ? std::string() : id;
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
    const std::vector<MountLine> table = ReadMountTable(ReadFileText("/proc/self/mountinfo"));
    if (link.empty() || link.find('/', 18) != std::string::npos) return {};
    if (::stat("/dev/disk", &st) == 0) {
        if (::stat(link.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return {};
        return MountPointOf(table, DeviceText(st.st_rdev));
    }
    // No udev: each file system mounted from a device is asked who it is.
    for (const MountLine& mount : table) {
        if (mount.root != "/" || !mount.source.starts_with("/dev/")) continue;
        const UniqueFd fd(::open(mount.mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd) continue;
        std::string mountedUuid;
        std::string mountedLabel;
        if (!AskFileSystem(fd.Get(), mountedUuid, mountedLabel)) {
            ProbeDevice(mount.source, mountedUuid, mountedLabel);
        }
        if (!uuid.empty() ? mountedUuid == uuid : mountedLabel == label) return mount.mountPoint;
    }
    return {};
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
    if (!facts.uuid.empty() || !facts.label.empty()) {
        facts.identifiedBy = "udev";
    } else if (ProbeDevice(facts.source, facts.uuid, facts.label)) {
        facts.identifiedBy = "blkid";
    } else if (AskFileSystem(fd, facts.uuid, facts.label)) {
        facts.identifiedBy = "kernel";
    }
    facts.model = DriveModel(facts.source);
    struct statfs fs {};
    if (::fstatfs(fd, &fs) == 0) {
        facts.fsid = FsidText(fs.f_fsid);
        facts.capacity = static_cast<std::uint64_t>(fs.f_blocks) * fs.f_frsize;
        facts.available = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
    }
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
    return bytes == 0 ? title : title + " (" + DecimalSize(bytes) + ")";
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

}  // namespace quorvale::runtime
