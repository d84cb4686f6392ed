// Helpers that both the tests and the benchmark use: temporary folders, file bytes, and reading
// back the entries a set of list files names. No test framework here.
#pragma once

#include <string>
#include <vector>

namespace quorvale::support {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at the end.
class TempDir {
  public:
    explicit TempDir(const std::string& prefix = "quorvale-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    // Leaves the folder in place at the end.
    void Keep() { keep_ = true; }

  private:
    std::string path_;
    bool keep_ = false;
};

std::string ReadBytes(const std::string& path);
// Removes a tree that may be deeper than the path limit.
bool RemoveTree(const std::string& path);

// Splits list-file bytes into lines at CR LF; `whole` tells whether the bytes end with CR LF.
std::vector<std::string> SplitAtCrLf(const std::string& bytes, bool* whole = nullptr);

// Every line of ListTex1.txt .. ListTex<last>.txt in `folder`, in order. `fullFiles`, if given,
// is set to whether every file but the last holds exactly 32000 lines.
std::vector<std::string> ReadListFiles(const std::string& folder, int last,
                                       bool* fullFiles = nullptr);

// The paths the listing names, as `find ROOT -printf '%p\n'` would print them: each folder line's
// path and each file line's name under it, sorted. The root line is skipped; a denial line shows
// as "?Permission Denied".
std::vector<std::string> ListedPaths(const std::vector<std::string>& lines);

}  // namespace quorvale::support
