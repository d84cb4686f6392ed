// An exclusive claim on one folder's list files for the length of a Save: a lock on the folder
// itself, so two programs saving into one folder never interleave, and programs saving into
// different folders never wait for each other.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace quorvale::runtime {

class FolderLock {
  public:
    // Takes the lock without waiting; throws RuntimeError (FileAlreadyOpen, naming the folder)
    // when another program holds it, or the folder's own error when it cannot be opened.
    explicit FolderLock(const std::string& folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Removes every entry of the folder whose name `isLeftover` accepts (never following links);
    // failures are ignored.
    void RemoveLeftovers(const std::function<bool(std::string_view name)>& isLeftover);

  private:
    int fd_ = -1;
};

}  // namespace quorvale::runtime
