#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "listing/list_file_name.h"
#include "save/listing_save.h"

namespace quorvale::test {

namespace {

// The window system keeps its runtime files in XDG_RUNTIME_DIR, and makes $TMPDIR/runtime-<user>
// and leaves it there when that is unset: every test program, and every program a test starts,
// gets a private one instead, removed when the test program ends (by the process that made it).
class PrivateRuntimeFolder {
  public:
    PrivateRuntimeFolder() : owner_(::getpid()) {
        ::chmod(folder_.Path().c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", folder_.Path().c_str(), 1);
    }
    ~PrivateRuntimeFolder() {
        if (::getpid() != owner_) folder_.Keep();
    }
    PrivateRuntimeFolder(const PrivateRuntimeFolder&) = delete;
    PrivateRuntimeFolder& operator=(const PrivateRuntimeFolder&) = delete;

  private:
    TempDir folder_{"quorvale-test-runtime"};
    pid_t owner_;
};

void Check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Wraps the real output so the test can count open handles and make writes fail.
class CountingOutput final : public runtime::TextOutput {
  public:
    CountingOutput(TestRuntime& owner, const runtime::FolderLock& folder, const std::string& name,
                   const std::string& path)
        : owner_(owner),
          real_(folder.Handle(), name, path, runtime::Durability::kSynced,
                owner.outputCalls != nullptr ? *owner.outputCalls
                                             : runtime::OutputSystemCalls::Real()),
          path_(path),
          name_(name),
          index_(static_cast<int>(owner.opened.size()) - 1) {
        ++owner_.openOutputs;
        const int live = ++owner_.liveOutputs;
        int most = owner_.mostLiveOutputs;
        while (live > most && !owner_.mostLiveOutputs.compare_exchange_weak(most, live)) {
        }
    }
    ~CountingOutput() override {
        if (open_) --owner_.openOutputs;
        --owner_.liveOutputs;
    }
    void PrintLine(std::string_view line) override {
        const bool thisOutput = owner_.failOutput < 0 || owner_.failOutput == index_;
        if (thisOutput && owner_.failAfterLines >= 0 && lines_ >= owner_.failAfterLines) {
            throw runtime::RuntimeError(
                owner_.failNumber, "Cannot write file \"" + path_ + "\": No space left on device");
        }
        ++lines_;
        real_.PrintLine(line);
    }
    void PrintBytes(std::string_view bytes) override {
        const bool thisOutput = owner_.failOutput < 0 || owner_.failOutput == index_;
        if (thisOutput && owner_.failAfterLines >= 0 && lines_ >= owner_.failAfterLines) {
            throw runtime::RuntimeError(
                owner_.failNumber, "Cannot write file \"" + path_ + "\": No space left on device");
        }
        ++lines_;
        real_.PrintBytes(bytes);
    }
    void FinishWriting() override { real_.FinishWriting(); }
    std::string TemporaryName() const override { return real_.TemporaryName(); }
    void Close() override {
        if (owner_.holdCommits && (owner_.holdOnly.empty() || owner_.holdOnly == name_)) {
            owner_.commitHeld = true;
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!owner_.releaseCommits) {
                if (std::chrono::steady_clock::now() > giveUp) {
                    owner_.commitWaitedOut = true;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            owner_.commitHeld = false;
        }
        if (open_) --owner_.openOutputs;
        open_ = false;
        if (owner_.failCommit == index_) {
            throw runtime::RuntimeError(runtime::DeviceIOError,
                                        "Cannot write file \"" + path_ + "\": I/O error");
        }
        real_.Close();
    }

  private:
    TestRuntime& owner_;
    runtime::FileTextOutput real_;
    std::string path_;
    std::string name_;
    int index_;
    long lines_ = 0;
    bool open_ = true;
};

}  // namespace

void MakeFolder(const std::string& path) {
    Check(::mkdir(path.c_str(), 0755) == 0, "mkdir " + path);
}

TmpfsMount::TmpfsMount(const std::string& folder, const std::string& size) : folder_(folder) {
    if (::mount("quorvale-test", folder.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) {
        whyNot_ = "cannot mount a tmpfs here (" + std::string(std::strerror(errno)) +
                  "): needs root and a system that allows mounting";
    }
}

TmpfsMount::~TmpfsMount() {
    if (whyNot_.empty()) ::umount2(folder_.c_str(), MNT_DETACH);
}

ImageMount::ImageMount(const std::string& image, const std::string& folder,
                       const std::string& label, const std::string& uuid)
    : image_(image), folder_(folder) {
    if (::geteuid() != 0) {
        whyNot_ = "needs root to mount a drive image";
        return;
    }
    ::mkdir(folder.c_str(), 0755);
    const std::string make = "truncate -s 16M '" + image + "' && mkfs.ext4 -q -F -L '" + label +
                             "' -U " + uuid + " '" + image + "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) {
        whyNot_ = "cannot make an ext4 image (mkfs.ext4)";
        return;
    }
    if (!MoveTo(folder)) whyNot_ = "cannot mount an image through a loop device here";
}

bool ImageMount::MoveTo(const std::string& folder) {
    if (!folder_.empty() && whyNot_.empty()) ::umount2(folder_.c_str(), 0);
    folder_.clear();
    ::mkdir(folder.c_str(), 0755);
    const std::string mount = "mount -o loop '" + image_ + "' '" + folder + "' 2>/dev/null";
    if (std::system(mount.c_str()) != 0) return false;
    folder_ = folder;
    return ::chmod(folder.c_str(), 0755) == 0;
}

ImageMount::~ImageMount() {
    // A loop device mounted with -o loop is let go when it is unmounted.
    if (whyNot_.empty() && !folder_.empty()) ::umount2(folder_.c_str(), 0);
}

std::size_t OpenDescriptors() {
    std::size_t count = 0;
    DIR* fds = ::opendir("/proc/self/fd");
    while (fds != nullptr && ::readdir(fds) != nullptr) ++count;
    if (fds != nullptr) ::closedir(fds);
    return count;
}

bool WaitUntil(const std::function<bool()>& condition, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void UsePrivateRuntimeFolder() {
    static PrivateRuntimeFolder folder;
}

namespace {
// Every test program links this file: its runtime folder is made before any test starts.
[[maybe_unused]] const bool kRuntimeFolderMade = (UsePrivateRuntimeFolder(), true);
}  // namespace

std::vector<std::string> NumberedNames(const std::string& prefix, int count, int first) {
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) names.push_back(prefix + std::to_string(first + i));
    return names;
}

void MakeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    Check(static_cast<bool>(out), "create " + path);
    out << bytes;
}

void MakeLink(const std::string& target, const std::string& path) {
    Check(::symlink(target.c_str(), path.c_str()) == 0, "symlink " + path);
}

std::string LoadedLibrary(const std::string& part) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const std::size_t at = line.find('/');
        if (at != std::string::npos && line.find(part, at) != std::string::npos) {
            return line.substr(at);
        }
    }
    return "";
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> LeftoverFiles(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::string_view(entry->d_name).find(runtime::kTempMarker) != std::string_view::npos) {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveTree(const std::string& path) {
    if (!support::RemoveTree(path)) ADD_FAILURE() << "could not remove " << path;
}

std::vector<std::string> SplitListFile(const std::string& bytes) {
    bool whole = true;
    std::vector<std::string> lines = support::SplitAtCrLf(bytes, &whole);
    if (!whole) ADD_FAILURE() << "list file does not end with CR LF";
    return lines;
}

std::vector<std::string> ListFileLines(const std::string& folder, int last) {
    bool full = true;
    std::vector<std::string> lines = support::ReadListFiles(folder, last, &full);
    EXPECT_TRUE(full) << "a list file before the last does not hold 32000 lines";
    return lines;
}

std::size_t TestRuntime::ListFilesOpened() const {
    return static_cast<std::size_t>(
        std::count_if(opened.begin(), opened.end(), [](const auto& path) {
            return listing::ListFileNumberOf(path.substr(path.rfind('/') + 1)) != 0;
        }));
}

std::unique_ptr<runtime::TextOutput> TestRuntime::OpenForOutput(const runtime::FolderLock& folder,
                                                                const std::string& name) {
    const std::string path = runtime::JoinPath(folder.Path(), name);
    opened.push_back(path);
    if (failOpen != 0) {
        throw runtime::RuntimeError(failOpen, "Cannot open file \"" + path + "\": refused");
    }
    return std::make_unique<CountingOutput>(*this, folder, name, path);
}

Lister::Lister(reading::FileSystem& fs) : core(buffer, fs, runtime) {
    core.SetCountDisplay([this](int count) { shownCount = count; });
}

std::vector<std::string> Lister::Lines() const {
    std::vector<std::string> lines;
    for (std::int16_t i = 0; i < buffer.ListCount(); ++i) lines.emplace_back(buffer.Line(i));
    return lines;
}

void Lister::Save(const std::string& path) {
    save::SaveListing(core, runtime, path);
}

std::string Lister::ListFile(int number) const {
    return listing::ListFilePath(programFolder.Path(), number);
}

std::vector<std::vector<std::string>> SaveArgumentForms(const std::string& folder,
                                                        const std::string& listFolder) {
    return {
        {"--save", folder, "--list-folder", listFolder},
        {"--list-folder", listFolder, "--save", folder},
        {"--save=" + folder, "--list-folder=" + listFolder},
        {"--list-folder=" + listFolder, "--save=" + folder},
    };
}

std::string RunUnprivileged(const std::function<std::string()>& body) {
    if (::geteuid() != 0) return body();
    return RunInChild([&body]() -> std::string {
        const uid_t nobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(nobody, nobody, nobody) != 0 ||
            ::setresuid(nobody, nobody, nobody) != 0) {
            ::_exit(3);
        }
        return body();
    });
}

std::string RunInChild(const std::function<std::string()>& body) {
    int fds[2];
    Check(::pipe(fds) == 0, "pipe");
    const pid_t pid = ::fork();
    Check(pid >= 0, "fork");
    if (pid == 0) {
        ::close(fds[0]);
        std::string out;
        try {
            out = body();
        } catch (const std::exception& e) {
            out = std::string("exception: ") + e.what();
        }
        const char* p = out.data();
        std::size_t left = out.size();
        while (left > 0) {
            const ssize_t n = ::write(fds[1], p, left);
            if (n <= 0) ::_exit(4);
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char block[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(block, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "child process failed, status " << status;
    }
    return out;
}

}  // namespace quorvale::test
