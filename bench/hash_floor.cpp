// The floor under hashing a tree: every byte of its regular files read with 1 MiB reads from
// two threads, nothing else (no hash, no listing, no check). The files come as a list made before
// the timing begins, so that the floor holds no walk.
//
//   hash_floor [--threads N] FILES
//
// FILES: the tree's regular files, each path ended by NUL (as `find -type f -print0` prints them).
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char* argv[]) {
    std::size_t threads = 2;
    int first = 1;
    if (argc > 3 && std::string(argv[1]) == "--threads") {
        threads = static_cast<std::size_t>(std::atoi(argv[2]));
        first = 3;
    }
    if (argc != first + 1 || threads == 0) {
        std::fprintf(stderr, "usage: hash_floor [--threads N] FILES\n");
        return 2;
    }
    std::ifstream in(argv[first], std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> files;
    for (std::size_t start = 0, end; start < all.size(); start = end + 1) {
        end = all.find('\0', start);
        if (end == std::string::npos) end = all.size();
        if (end > start) files.emplace_back(all, start, end - start);
    }
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> readers;
    for (std::size_t t = 0; t < threads; ++t) {
        readers.emplace_back([&] {
            std::vector<char> buffer(std::size_t{1} << 20);
            for (std::size_t i; (i = next++) < files.size();) {
                const int fd = ::open(files[i].c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
                if (fd < 0) {
                    failed = true;
                    continue;
                }
                while (::read(fd, buffer.data(), buffer.size()) > 0) {
                }
                ::close(fd);
            }
        });
    }
    for (std::thread& reader : readers) reader.join();
    return failed ? 1 : 0;
}
