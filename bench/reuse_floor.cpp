// The floor under re-listing an unchanged tree: what no Save that reuses a listing can skip. One
// statx of each folder (never following a link), then the same list files written again, each
// through a temporary name, made durable and renamed into place, and the folder made durable.
//
//   reuse_floor FOLDERS LISTING OUT
//
// FOLDERS: a file of the tree's folders, one path a line; LISTING: a list folder whose
// ListTex<n>.txt are copied to OUT (made if missing). With --threads N the folders are looked at
// from N threads at once, as a medium that answers many requests together allows.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, std::string& bytes) {
    char block[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0) return false;
        if (n == 0) return true;
        bytes.append(block, static_cast<std::size_t>(n));
    }
}

}  // namespace

// One statx of each folder, from `threads` threads at once; how many there were.
std::size_t StatEach(const std::vector<std::string>& paths, int threads) {
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> stated{0};
    const auto statSome = [&] {
        for (std::size_t i; (i = next++) < paths.size();) {
            struct statx st {};
            if (::statx(AT_FDCWD, paths[i].c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &st) ==
                0) {
                ++stated;
            }
        }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(statSome);
    statSome();
    for (std::thread& thread : pool) thread.join();
    return stated;
}

int main(int argc, char* argv[]) {
    int threads = 1;
    if (argc == 6 && std::string(argv[1]) == "--threads") {
        threads = std::max(1, std::atoi(argv[2]));
        argv += 2;
        argc -= 2;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: reuse_floor [--threads N] FOLDERS LISTING OUT\n");
        return 2;
    }
    std::ifstream folders(argv[1]);
    std::vector<std::string> paths;
    for (std::string path; std::getline(folders, path);) paths.push_back(path);
    const std::size_t stated = StatEach(paths, threads);
    ::mkdir(argv[3], 0755);
    const int in = ::open(argv[2], O_RDONLY | O_DIRECTORY);
    const int out = ::open(argv[3], O_RDONLY | O_DIRECTORY);
    if (in < 0 || out < 0) {
        std::perror("open");
        return 2;
    }
    for (int number = 1;; ++number) {
        const std::string name = "ListTex" + std::to_string(number) + ".txt";
        const int file = ::openat(in, name.c_str(), O_RDONLY);
        if (file < 0) break;
        std::string bytes;
        const bool read = ReadAll(file, bytes);
        ::close(file);
        const std::string temporary = name + ".tmp";
        const int copy = ::openat(out, temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!read || copy < 0 || !WriteAll(copy, bytes) || ::fsync(copy) != 0 ||
            ::close(copy) != 0 || ::renameat(out, temporary.c_str(), out, name.c_str()) != 0) {
            std::perror(name.c_str());
            return 2;
        }
    }
    ::fsync(out);
    std::printf("%zu folders\n", stated);
    return 0;
}
