#include "catalogue/drive_now.h"

#include <fcntl.h>

#include "runtime/path_join.h"
#include "runtime/unique_fd.h"

namespace quorvale::catalogue {

std::string DriveName(const ListingRecord& record) {
    const runtime::FileSystemFacts& drive = record.fileSystem;
    if (!drive.label.empty()) return drive.label;
    if (!drive.uuid.empty()) return drive.uuid;
    return drive.source.empty() ? record.root : drive.source;
}

DriveLookup DriveLookup::System() {
    DriveLookup system;
    system.factsOf = [](const std::string& folder) -> std::optional<runtime::FileSystemFacts> {
        const runtime::UniqueFd fd(
            ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
        if (!fd) return std::nullopt;
        return runtime::DescribeFileSystemOf(fd.Get());
    };
    system.mountPointOf = &runtime::MountPointOfDrive;
    return system;
}

bool MountedAsListed(const std::string& folder, const ListingRecord& record, std::string& why,
                     const DriveLookup& drives) {
    const std::string drive = DriveName(record);
    why = "Connect the drive \"" + drive +
          "\" to open this folder: it is not mounted where it was "
          "listed";
    const std::optional<runtime::FileSystemFacts> facts = drives.factsOf(folder);
    if (!facts) return false;
    const runtime::FileSystemFacts& now = *facts;
    const runtime::FileSystemFacts& then = record.fileSystem;
    if (!then.uuid.empty()) return now.uuid == then.uuid;
    if (!then.label.empty()) return now.label == then.label;
    return now.source == then.source && now.type == then.type;
}

std::string FolderNow(const std::string& folder, const ListingRecord& record, std::string& why,
                      const DriveLookup& drives) {
    if (MountedAsListed(folder, record, why, drives)) return folder;
    const runtime::FileSystemFacts& drive = record.fileSystem;
    if (drive.uuid.empty() && drive.label.empty()) return {};
    const std::string mountedNow = drives.mountPointOf(drive.uuid, drive.label);
    const std::string moved = runtime::RerootPath(folder, drive.mountPoint, mountedNow);
    if (mountedNow.empty() || moved.empty()) return {};
    std::string ignored;
    return MountedAsListed(moved, record, ignored, drives) ? moved : std::string();
}

}  // namespace quorvale::catalogue
