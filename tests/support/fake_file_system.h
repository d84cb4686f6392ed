// An in-memory file system for the walk's tests: a tree of folders with named files, and faults
// that make any chosen call on any chosen folder fail with any chosen error number.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "reading/file_system.h"

namespace quorvale::test {

enum class Call {
    Open,           // obtaining the folder object
    Path,           // reading the folder's path
    Files,          // starting the file enumeration
    FileName,       // reading the current file's name
    NextFile,       // advancing to the next file
    SubFolders,     // starting the subfolder enumeration
    SubFolderName,  // reading the current subfolder
    NextSubFolder,  // advancing to the next subfolder
};

class FakeFileSystem final : public reading::FileSystem {
  public:
    struct Node {
        std::vector<std::string> files;
        std::vector<std::string> subfolders;
    };

    // Adds a folder (and, by name, to its parent's subfolders) with the given files.
    void Add(const std::string& path, std::vector<std::string> files = {});
    // Makes `call` on `path` fail with error `number` from now on; 0 takes the fault away.
    void Fail(Call call, const std::string& path, int number) {
        if (number == 0) {
            faults_.erase({call, path});
        } else {
            faults_[{call, path}] = number;
        }
    }
    void ThrowIfFaulty(Call call, const std::string& path) const;

    std::unique_ptr<reading::Folder> GetFolder(const std::string& path) override;
    std::unique_ptr<reading::Folder> Open(const std::string& path);

    std::map<std::string, Node> nodes;
    std::vector<std::string> opened;  // every folder asked for, in order

  private:
    std::map<std::pair<Call, std::string>, int> faults_;
};

}  // namespace quorvale::test
