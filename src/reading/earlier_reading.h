// What an earlier listing read of the folders it listed, so that a folder that has not changed
// since is not read again: its entries are taken from there instead (see ReadEntries).
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string_view>

namespace quorvale::reading {

class EarlierReading {
  public:
    // Told each entry of a folder: its name and its type as a directory reports it (DT_REG,
    // DT_DIR, DT_LNK, or another for anything else).
    using Entry = std::function<void(std::string_view name, unsigned char type)>;

    virtual ~EarlierReading() = default;
    // Tells `entry` every entry of the open folder whose status is `st`, in the order the earlier
    // reading sorted them, when that reading holds the folder and nothing in its status says it
    // changed since; false otherwise, perhaps after telling some of them (the caller lets go of
    // what it was told: entries are told as they are found, never all held at once). Called by
    // reader threads at once.
    virtual bool Entries(const struct stat& st, const Entry& entry) const = 0;
};

}  // namespace quorvale::reading
