#include "support/fake_file_system.h"

#include "runtime/runtime_services.h"

namespace quorvale::test {

namespace {

class FakeEnumeration final : public reading::Enumeration {
  public:
    FakeEnumeration(const FakeFileSystem& fs, std::string path,
                    const std::vector<std::string>& names, Call current, Call next)
        : fs_(fs), path_(std::move(path)), names_(names), current_(current), next_(next) {}
    bool AtEnd() const override { return index_ >= names_.size(); }
    std::string_view Current() const override {
        fs_.ThrowIfFaulty(current_, path_);
        return names_.at(index_);
    }
    void Next() override {
        fs_.ThrowIfFaulty(next_, path_);
        ++index_;
    }

  private:
    const FakeFileSystem& fs_;
    std::string path_;
    const std::vector<std::string>& names_;
    Call current_;
    Call next_;
    std::size_t index_ = 0;
};

class FakeFolder final : public reading::Folder {
  public:
    FakeFolder(FakeFileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
    std::string Path() const override {
        fs_.ThrowIfFaulty(Call::Path, path_);
        return path_;
    }
    std::unique_ptr<reading::Enumeration> Files() override {
        fs_.ThrowIfFaulty(Call::Files, path_);
        return std::make_unique<FakeEnumeration>(fs_, path_, fs_.nodes.at(path_).files,
                                                 Call::FileName, Call::NextFile);
    }
    std::unique_ptr<reading::Enumeration> SubFolders() override {
        fs_.ThrowIfFaulty(Call::SubFolders, path_);
        return std::make_unique<FakeEnumeration>(fs_, path_, fs_.nodes.at(path_).subfolders,
                                                 Call::SubFolderName, Call::NextSubFolder);
    }
    std::unique_ptr<reading::Folder> OpenSubFolder(std::string_view name) override {
        return fs_.Open(path_ + "/" + std::string(name));
    }

  private:
    FakeFileSystem& fs_;
    std::string path_;
};

}  // namespace

void FakeFileSystem::Add(const std::string& path, std::vector<std::string> files) {
    nodes[path].files = std::move(files);
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string parent = path.substr(0, slash);
        if (nodes.count(parent) != 0) nodes[parent].subfolders.push_back(path.substr(slash + 1));
    }
}

void FakeFileSystem::ThrowIfFaulty(Call call, const std::string& path) const {
    const auto it = faults_.find({call, path});
    if (it != faults_.end()) {
        throw runtime::RuntimeError(it->second, "injected fault on " + path);
    }
}

std::unique_ptr<reading::Folder> FakeFileSystem::GetFolder(const std::string& path) {
    return Open(path);
}

std::unique_ptr<reading::Folder> FakeFileSystem::Open(const std::string& path) {
    opened.push_back(path);
    ThrowIfFaulty(Call::Open, path);
    if (nodes.count(path) == 0) {
        throw runtime::RuntimeError(runtime::PathNotFound, "no folder " + path);
    }
    return std::make_unique<FakeFolder>(*this, path);
}

}  // namespace quorvale::test
