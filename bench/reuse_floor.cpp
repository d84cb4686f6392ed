// The floor under re-listing an unchanged tree: what no Save that reuses a listing can skip. One
// statx of each folder (never following a link), then the same list files written again, each
// through a temporary name, made durable and renamed into place, and the folder made durable.
//
//   reuse_floor FOLDERS LISTING OUT
//
// FOLDERS: a file of the tree's folders, one path a line; LISTING: a list folder whose
// ListTex<n>.txt are copied to OUT (made if missing).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
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

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: reuse_floor FOLDERS LISTING OUT\n");
        return 2;
    }
    std::ifstream folders(argv[1]);
    std::size_t stated = 0;
    for (std::string path; std::getline(folders, path);) {
        struct statx st {};
        if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &st) == 0) {
            ++stated;
        }
    }
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
