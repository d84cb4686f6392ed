// Helpers shared by the tests: temporary folders, file bytes, runtime services that write list
// files into a test's own folder, and running a piece of code as an unprivileged user.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "listing/listing_buffer.h"
#include "listing/listing_core.h"
#include "reading/posix_file_system.h"
#include "runtime/runtime_services.h"
#include "support/listing_files.h"

namespace quorvale::test {

using support::ListedPaths;
using support::ReadBytes;
using support::TempDir;

// Waits until `condition` holds, looking every few milliseconds, for at most `seconds`: long enough
// for a machine busy with other builds. Returns whether it held.
bool WaitUntil(const std::function<bool()>& condition, double seconds = 60);

// How many descriptors this process holds (the entries of /proc/self/fd, its own listing's
// included).
std::size_t OpenDescriptors();

// What a sanitizer adds to a process's peak memory (its shadow memory and the freed blocks it
// keeps), for tests that bound the program's memory.
#ifdef __SANITIZE_ADDRESS__
inline constexpr long kSanitizerSlackKiB = 32 * 1024;
#else
inline constexpr long kSanitizerSlackKiB = 0;
#endif

// A tmpfs mounted on `folder` for the object's life (another drive below a tree), where the
// system allows it: it needs root.
class TmpfsMount {
  public:
    TmpfsMount(const std::string& folder, const std::string& size);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    // Empty when mounted, otherwise why not (for GTEST_SKIP).
    const std::string& WhyNot() const { return whyNot_; }

  private:
    std::string folder_;
    std::string whyNot_;
};

// A drive of its own: an ext4 image of 16 MB with this label and UUID in `image`, mounted on
// `folder` through a loop device, its root readable by everyone (its lost+found as mkfs made it:
// root's alone); unmounted (and the loop device let go) at the end.
class ImageMount {
  public:
    ImageMount(const std::string& image, const std::string& folder, const std::string& label,
               const std::string& uuid);
    ~ImageMount();
    ImageMount(const ImageMount&) = delete;
    ImageMount& operator=(const ImageMount&) = delete;
    const std::string& WhyNot() const { return whyNot_; }
    // Unmounts and mounts the same image on `folder`; false when it cannot.
    bool MoveTo(const std::string& folder);

  private:
    std::string image_;
    std::string folder_;
    std::string whyNot_;
};

// Points XDG_RUNTIME_DIR at a folder of this test program's own (done before main for every
// program that links this file; idempotent).
void UsePrivateRuntimeFolder();

void MakeFolder(const std::string& path);
void MakeFile(const std::string& path, const std::string& bytes = "");
// `count` names `prefix` + number, numbered from `first` (in byte order when the numbers have as
// many digits).
std::vector<std::string> NumberedNames(const std::string& prefix, int count, int first = 0);
void MakeLink(const std::string& target, const std::string& path);
bool Exists(const std::string& path);
// The path of a shared library this process has loaded whose path holds `part` ("" when none):
// a real library to stand in for another that lacks what is looked up in it.
std::string LoadedLibrary(const std::string& part);
// The names in `folder` of temporary list files (finished or not), sorted.
std::vector<std::string> LeftoverFiles(const std::string& folder);
// Removes a tree that may be deeper than the path limit; fails the test if it cannot.
void RemoveTree(const std::string& path);

// Splits list-file bytes into lines at CR LF; fails the test if the bytes do not end with CR LF.
std::vector<std::string> SplitListFile(const std::string& bytes);

// Runtime services with the program folder in a test's own folder, and a text output that can
// be told to fail.
class TestRuntime : public runtime::RuntimeServices {
  public:
    explicit TestRuntime(std::string folder) : folder_(std::move(folder)) {}
    std::string ListFileFolder() override { return folder_; }
    std::unique_ptr<runtime::TextOutput> OpenForOutput(const runtime::FolderLock& folder,
                                                       const std::string& name) override;

    std::string folder_;
    int failOpen = 0;          // error number for the next opens, 0 for none
    long failAfterLines = -1;  // the write of line N (0-based) fails with failNumber
    int failOutput = -1;       // ... only in the output opened N-th (0-based); -1 for any
    int failNumber = runtime::DiskFull;
    int failCommit = -1;  // the output opened N-th (0-based) fails to be made durable
    // The system calls of every real output, when set (the real ones otherwise).
    runtime::OutputSystemCalls* outputCalls = nullptr;
    // While set, a commit waits (up to a minute, then notes it in commitWaitedOut) until
    // releaseCommits is set; commitHeld tells that one waits.
    std::atomic<bool> holdCommits = false;
    std::atomic<bool> commitHeld = false;
    std::atomic<bool> releaseCommits = false;
    std::atomic<bool> commitWaitedOut = false;
    std::string holdOnly;  // when set, only the output of this name is held

    std::vector<std::string> opened;
    // How many of the outputs opened were list files (not the record of a Save).
    std::size_t ListFilesOpened() const;
    std::atomic<int> openOutputs = 0;  // outputs opened and not yet closed or destroyed
    std::atomic<int> liveOutputs = 0;  // outputs opened and not yet destroyed
    std::atomic<int> mostLiveOutputs = 0;
};

// A buffer, a core and a runtime writing to a temporary folder: the pieces of one Save.
struct Lister {
    explicit Lister(reading::FileSystem& fs);
    TempDir programFolder;
    TestRuntime runtime{programFolder.Path()};
    listing::ListingBuffer buffer;
    listing::ListingCore core;
    int shownCount = -1;  // what the count display was last told
    std::vector<std::string> Lines() const;
    // The Save command's sequence: root line, walk, final write of what is left.
    void Save(const std::string& path);
    std::string ListFile(int number) const;
};

// Every line of the list files ListTex1.txt .. ListTex<last>.txt in `folder`, in order; fails the
// test if any but the last holds other than 32000 lines.
std::vector<std::string> ListFileLines(const std::string& folder, int last);

// The four ways to give `--save FOLDER` and `--list-folder DIR`: both orders, both forms.
std::vector<std::vector<std::string>> SaveArgumentForms(const std::string& folder,
                                                        const std::string& listFolder);

// Runs `body` in a child process and returns the text it returned, or fails the test.
std::string RunInChild(const std::function<std::string()>& body);

// Runs `body` in a child process as the unprivileged user "nobody" when this process is root
// (directly otherwise); returns the text it returned, or fails the test.
std::string RunUnprivileged(const std::function<std::string()>& body);

}  // namespace quorvale::test
