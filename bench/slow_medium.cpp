// A slow medium for the benchmark: a read-only FUSE view of a folder that waits before each folder
// is opened, as a network share or a busy disk does, and serves many requests at once (libfuse's
// multi-threaded loop), so that reads in parallel overlap their waits as they would there. With
// ATTR_DELAY_MS it also waits before each lookup and attribute read, which then are not cached
// (a network share pays for each), and gives the entries their own inode numbers.
//
//   slow_medium SOURCE MOUNTPOINT DELAY_MS [ATTR_DELAY_MS] [fuse options]
//   (unmount with fusermount3 -u)
//   slow_medium --check FOLDER      opens 16 of FOLDER's subfolders at once, prints how long it
//   took
#define FUSE_USE_VERSION 31

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <fuse3/fuse.h>

namespace {

std::string source;
std::chrono::milliseconds delay{5};
std::chrono::milliseconds attrDelay{0};

std::string Real(const char* path) {
    return source + path;
}

// With a delay for lookups, nothing the kernel learns is kept, and each entry has its own inode
// number, as on a network share.
void* Init(fuse_conn_info*, fuse_config* config) {
    if (attrDelay.count() > 0) {
        config->use_ino = 1;
        config->attr_timeout = 0;
        config->entry_timeout = 0;
        config->negative_timeout = 0;
    }
    return nullptr;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
    if (attrDelay.count() > 0) std::this_thread::sleep_for(attrDelay);
    return ::lstat(Real(path).c_str(), st) == 0 ? 0 : -errno;
}

int ReadLink(const char* path, char* buffer, size_t size) {
    const ssize_t n = ::readlink(Real(path).c_str(), buffer, size - 1);
    if (n < 0) return -errno;
    buffer[n] = '\0';
    return 0;
}

int OpenDir(const char* path, fuse_file_info* info) {
    std::this_thread::sleep_for(delay);  // the medium's wait, once a folder
    DIR* dir = ::opendir(Real(path).c_str());
    if (dir == nullptr) return -errno;
    info->fh = reinterpret_cast<std::uintptr_t>(dir);
    return 0;
}

int ReadDir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info* info,
            fuse_readdir_flags) {
    DIR* dir = reinterpret_cast<DIR*>(info->fh);
    ::rewinddir(dir);
    while (const dirent* entry = ::readdir(dir)) {
        struct stat st {};
        st.st_ino = entry->d_ino;
        st.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
        if (fill(buffer, entry->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
    }
    return 0;
}

int ReleaseDir(const char*, fuse_file_info* info) {
    ::closedir(reinterpret_cast<DIR*>(info->fh));
    return 0;
}

int Open(const char* path, fuse_file_info* info) {
    const int fd = ::open(Real(path).c_str(), O_RDONLY);
    if (fd < 0) return -errno;
    info->fh = static_cast<std::uint64_t>(fd);
    return 0;
}

int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* info) {
    const ssize_t n = ::pread(static_cast<int>(info->fh), buffer, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

int Release(const char*, fuse_file_info* info) {
    ::close(static_cast<int>(info->fh));
    return 0;
}

// Opens and reads 16 subfolders of `folder` from 16 threads at once.
int Check(const std::string& folder) {
    std::vector<std::string> subfolders;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        std::perror(folder.c_str());
        return 2;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_type == DT_DIR && entry->d_name[0] != '.' && subfolders.size() < 16) {
            subfolders.push_back(folder + "/" + entry->d_name);
        }
    }
    ::closedir(dir);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (const std::string& subfolder : subfolders) {
        threads.emplace_back([&subfolder] {
            if (DIR* d = ::opendir(subfolder.c_str())) {
                while (::readdir(d) != nullptr) {
                }
                ::closedir(d);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::printf("%zu folders opened at once in %lld ms\n", subfolders.size(),
                static_cast<long long>(took.count()));
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 3 && std::string(argv[1]) == "--check") return Check(argv[2]);
    if (argc < 4) {
        std::fprintf(
            stderr,
            "usage: slow_medium SOURCE MOUNTPOINT DELAY_MS [ATTR_DELAY_MS] [fuse options]\n");
        return 2;
    }
    char* real = ::realpath(argv[1], nullptr);
    if (real == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    source = real;
    std::free(real);
    delay = std::chrono::milliseconds(std::atoi(argv[3]));
    fuse_operations operations{};
    operations.init = Init;
    operations.getattr = GetAttr;
    operations.readlink = ReadLink;
    operations.opendir = OpenDir;
    operations.readdir = ReadDir;
    operations.releasedir = ReleaseDir;
    operations.open = Open;
    operations.read = Read;
    operations.release = Release;
    // Read-only, many requests at once, the folder's owners and modes as they are.
    std::vector<char*> fuseArguments{argv[0], argv[2]};
    std::string options = "-oro,default_permissions,allow_other,max_threads=64";
    fuseArguments.push_back(options.data());
    int first = 4;
    if (argc > 4 && argv[4][0] != '-') {
        attrDelay = std::chrono::milliseconds(std::atoi(argv[4]));
        first = 5;
    }
    for (int i = first; i < argc; ++i) fuseArguments.push_back(argv[i]);
    return fuse_main(static_cast<int>(fuseArguments.size()), fuseArguments.data(), &operations,
                     nullptr);
}
