// What the system knows about the file system a folder lies on, for the record of a listing.
#pragma once

#include <string>

namespace quorvale::runtime {

struct FileSystemFacts {
    std::string type;    // as the mount table names it ("ext4", "tmpfs"); empty when unknown
    std::string device;  // "major:minor"
    std::string source;  // what was mounted ("/dev/sda1", "tmpfs")
    std::string uuid;    // from /dev/disk/by-uuid, where the system names it there
    std::string label;   // from /dev/disk/by-label, likewise
};

// The facts of the file system that holds the open folder `fd`. What cannot be found out is
// left empty.
FileSystemFacts DescribeFileSystemOf(int fd);

// This machine's name; empty when it cannot be had.
std::string HostName();

}  // namespace quorvale::runtime
