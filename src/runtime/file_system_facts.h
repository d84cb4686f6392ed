// What the system knows about the file system a folder lies on, for the record of a listing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorvale::runtime {

struct FileSystemFacts {
    std::string type;    // as the mount table names it ("ext4", "tmpfs"); empty when unknown
    std::string device;  // "major:minor"
    std::string source;  // what was mounted ("/dev/sda1", "tmpfs")
    std::string uuid;    // the file system's UUID, where it has one that can be found
    std::string label;   // its label, likewise
    std::string model;   // the model of the disk that holds it, where the kernel names one
    // Where the UUID and label came from: "udev" (/dev/disk/by-uuid and by-label), "blkid" (read
    // from the device itself), "kernel" (asked of the mounted file system); empty: none found.
    std::string identifiedBy;
    std::string fsid;        // statfs's file system id, 16 hex digits ("" when it gives none)
    std::string mountPoint;  // where the file system is mounted (its root), as the table names it
    std::uint64_t capacity = 0;   // bytes, as statfs tells them when the facts were taken
    std::uint64_t available = 0;  // bytes free for an ordinary user, likewise
};

// One line of /proc/self/mountinfo, as far as the program needs it.
struct MountLine {
    std::string device;      // "major:minor"
    std::string root;        // the folder of the file system mounted there ("/" for all of it)
    std::string mountPoint;  // with the table's escapes (\040 for a space) undone
    std::string type;
    std::string source;
};

// The lines of a mount table's text ("id parent major:minor root mount-point options
// [optional fields] - type source options").
std::vector<MountLine> ReadMountTable(const std::string& text);

// Where the file system on `device` ("major:minor") is mounted whole, in `table`: the first mount
// of its root; empty when it is not mounted.
std::string MountPointOf(const std::vector<MountLine>& table, const std::string& device);

// Where the drive with this UUID (or, with no UUID, this label) is mounted now: by
// /dev/disk/by-uuid or /dev/disk/by-label and the process's mount table, or where those are
// missing (no udev) by asking each mounted block device's file system; empty when it is not.
std::string MountPointOfDrive(const std::string& uuid, const std::string& label);

// The facts of the file system that holds the open folder `fd`. The UUID and label come from
// /dev/disk (udev), else from the device (libblkid, where it may be read), else from the mounted
// file system itself (the kernel's FS_IOC_GETFSUUID and FS_IOC_GETFSLABEL). What cannot be found
// out is left empty.
FileSystemFacts DescribeFileSystemOf(int fd);

// The model of the disk that holds `device` ("/dev/sdb1": the model of sdb), as the kernel names
// it under `sysfs` (/sys); empty when it names none.
std::string DriveModel(const std::string& device, const std::string& sysfs = "/sys");

// How a person knows a mounted drive: its label, else its disk's model, else the last part of
// where it is mounted, and its size in decimal units ("photos (931.5 GB)"; no size when 0).
std::string DriveTitle(const std::string& label, const std::string& model, std::uint64_t bytes,
                       const std::string& mountPoint);

// This machine's name; empty when it cannot be had.
std::string HostName();

}  // namespace quorvale::runtime
