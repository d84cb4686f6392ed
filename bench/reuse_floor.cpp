// The floor under re-listing an unchanged tree: what no Save that reuses a listing can skip. The
// earlier listing's record, list files and index read whole, the index's checksum taken over all
// of it, one statx of each folder (never following a link), then the same list files, an index and
// a record of the earlier ones' sizes written again, each through a temporary name, made durable
// and renamed into place, and the folder made durable.
//
//   reuse_floor [--threads N] [--list-files-only] FOLDERS LISTING OUT
//
// FOLDERS: a file of the tree's folders, one path a line; LISTING: a list folder whose files are
// copied to OUT (made if missing). With --threads N the folders are looked at from N threads at
// once, as a medium that answers many requests together allows. --list-files-only reads and writes
// the list files alone, nothing of the index and the record (the floor this bench measured first).
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

#include "catalogue/index_format.h"
#include "listing/list_file_name.h"

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

// Reads `name` of the folder `in` whole, and writes it to the folder `out` through a temporary
// name, durable, renamed into place; false (said on stderr) on any failure.
bool CopyDurably(int in, int out, const std::string& name) {
    const int file = ::openat(in, name.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        std::perror(name.c_str());
        return false;
    }
    std::string read;
    const bool whole = ReadAll(file, read);
    ::close(file);
    const std::string temporary = name + ".tmp";
    const int copy =
        ::openat(out, temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (!whole || copy < 0 || !WriteAll(copy, read) || ::fsync(copy) != 0 || ::close(copy) != 0 ||
        ::renameat(out, temporary.c_str(), out, name.c_str()) != 0) {
        std::perror(name.c_str());
        return false;
    }
    return true;
}

int main(int argc, char* argv[]) {
    int threads = 1;
    bool listFilesOnly = false;
    for (;;) {
        if (argc >= 3 && std::string(argv[1]) == "--threads") {
            threads = std::max(1, std::atoi(argv[2]));
            argv += 2;
            argc -= 2;
        } else if (argc >= 2 && std::string(argv[1]) == "--list-files-only") {
            listFilesOnly = true;
            ++argv;
            --argc;
        } else {
            break;
        }
    }
    if (argc != 4) {
        std::fprintf(stderr,
                     "usage: reuse_floor [--threads N] [--list-files-only] FOLDERS LISTING OUT\n");
        return 2;
    }
    std::ifstream folders(argv[1]);
    std::vector<std::string> paths;
    for (std::string path; std::getline(folders, path);) paths.push_back(path);
    ::mkdir(argv[3], 0755);
    const int in = ::open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int out = ::open(argv[3], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (in < 0 || out < 0) {
        std::perror("open");
        return 2;
    }
    // A re-listing reads the earlier record and index before it looks at a folder.
    std::string index;
    std::string record;
    if (!listFilesOnly) {
        const int file =
            ::openat(in, std::string(quorvale::listing::kIndexName).c_str(), O_RDONLY | O_CLOEXEC);
        const int recordFile =
            ::openat(in, std::string(quorvale::listing::kRecordName).c_str(), O_RDONLY | O_CLOEXEC);
        if (file < 0 || recordFile < 0 || !ReadAll(file, index) || !ReadAll(recordFile, record)) {
            std::perror("the earlier index and record");
            return 2;
        }
        ::close(file);
        ::close(recordFile);
        std::printf("index checksum %08x\n", quorvale::catalogue::IndexChecksum(index));
    }
    const std::size_t stated = StatEach(paths, threads);
    for (int number = 1;; ++number) {
        const std::string name = quorvale::listing::ListFileName(number);
        if (::faccessat(in, name.c_str(), F_OK, 0) != 0) break;
        if (!CopyDurably(in, out, name)) return 2;
    }
    if (!listFilesOnly) {
        // The same bytes as the earlier ones: a new index and record are no longer than these.
        for (const std::string_view name :
             {quorvale::listing::kIndexName, quorvale::listing::kRecordName}) {
            if (!CopyDurably(in, out, std::string(name))) return 2;
        }
    }
    ::fsync(out);
    std::printf("%zu folders\n", stated);
    return 0;
}
