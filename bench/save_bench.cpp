// The Save benchmark: a complete Save through the real, shown main window, timed against
// `find ROOT -printf '%p\n' > FILE` on the same tree, with files per second, peak resident memory
// and the window's input latency during the walk. It checks that the list files hold every entry
// of the tree, so it never times a broken walk.
//
//   save_bench [--files N] [--root PATH] [--rounds R] [--keep] [--no-sync] [--cold]
//              [--one-folder | --small-folders]
//
// --no-sync writes the list files without making them durable, to show what syncing costs.
// --cold empties the page cache (/proc/sys/vm/drop_caches, as root) before every Save and every
// find, so that both read the folders from the disk. --one-folder puts all N files in one folder;
// --small-folders makes N folders (ten to a folder) with one file each.
//
// Without --root it builds a tree of N files (default 200,000) in 1,000 folders three levels deep
// in a temporary folder. Runs on whatever Qt platform is active (offscreen, or xcb under xvfb-run).
//
//   save_bench --minimal-walk ROOT OUT   one getdents64 pass per folder, unsorted, into OUT
//   save_bench --stat-walk ROOT          the same with one lstat per entry and no output
//   save_bench --find-latency FOLDER PATTERN [ROUNDS]
//                                        the window's "Find in kept listings" searching the kept
//                                        listings in and below FOLDER, with the window's input
//                                        latency meanwhile (exit 3 when a probe waited 50 ms)
//   save_bench --index-memory FOLDER MILLIONS...
//                                        the peak memory of making the index of so many million
//                                        entries (folders of 1,000 files), each in a process of
//                                        its own, its scratch file in FOLDER as a Save's is
//   save_bench --index-build PATHS [ROUNDS [SCRATCH_FOLDER]]
//                                        the time of building the index alone from the entries
//                                        of PATHS, as `quorvale --export paths` prints them, in
//                                        ROUNDS (default 7) rounds: the median, the share of it
//                                        finishing took (the work a Save waits for once its walk
//                                        is over), and a checksum of the index's bytes to compare
//                                        builds by; its work kept in memory, or in a scratch file
//                                        in SCRATCH_FOLDER as a Save's is
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleFactory>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/index_format.h"
#include "catalogue/index_writer.h"
#include "latency_probe.h"
#include "reading/posix_file_system.h"
#include "runtime/runtime_services.h"
#include "support/listing_files.h"
#include "window/find_dialog.h"
#include "window/main_window.h"

namespace {

using quorvale::bench::Clock;
using quorvale::bench::LatencyProbe;
using quorvale::bench::ProbePoster;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// 10 folders, each with 10, each with 10: 1,000 leaf folders sharing the files.
void BuildTree(const std::string& root, long files) {
    const long perLeaf = std::max(1L, files / 1000);
    long made = 0;
    for (int a = 0; a < 10; ++a) {
        for (int b = 0; b < 10; ++b) {
            for (int c = 0; c < 10; ++c) {
                const std::string folder = root + "/level1_" + std::to_string(a) + "/level2_" +
                                           std::to_string(b) + "/level3_" + std::to_string(c);
                ::mkdir((root + "/level1_" + std::to_string(a)).c_str(), 0755);
                ::mkdir((root + "/level1_" + std::to_string(a) + "/level2_" + std::to_string(b))
                            .c_str(),
                        0755);
                ::mkdir(folder.c_str(), 0755);
                const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
                const long here = (a == 9 && b == 9 && c == 9) ? files - made : perLeaf;
                for (long i = 0; i < here; ++i, ++made) {
                    const std::string name = "file_" + std::to_string(i) + ".dat";
                    const int fd = ::openat(dir, name.c_str(), O_CREAT | O_WRONLY, 0644);
                    if (fd >= 0) ::close(fd);
                }
                ::close(dir);
            }
        }
    }
}

// About N folders, ten to a folder and five levels deep for N = 111,111, each holding one file.
void BuildSmallFolders(const std::string& root, long folders) {
    std::vector<std::string> level{root};
    long made = 1;
    while (made < folders) {
        std::vector<std::string> next;
        for (const std::string& parent : level) {
            for (int i = 0; i < 10 && made < folders; ++i, ++made) {
                next.push_back(parent + "/folder_" + std::to_string(i));
                ::mkdir(next.back().c_str(), 0755);
            }
        }
        level = std::move(next);
        if (level.empty()) break;
    }
    // One file in every folder, the starting one included.
    std::vector<std::string> stack{root};
    while (!stack.empty()) {
        const std::string folder = std::move(stack.back());
        stack.pop_back();
        const int fd = ::open((folder + "/file.dat").c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd >= 0) ::close(fd);
        for (int i = 0; i < 10; ++i) {
            const std::string child = folder + "/folder_" + std::to_string(i);
            struct stat st {};
            if (::stat(child.c_str(), &st) == 0) stack.push_back(child);
        }
    }
}

// N files side by side in one folder.
void BuildOneFolder(const std::string& root, long files) {
    const int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (long i = 0; i < files; ++i) {
        const std::string name = "file_" + std::to_string(i) + ".dat";
        const int fd = ::openat(dir, name.c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd >= 0) ::close(fd);
    }
    ::close(dir);
}

// Empties the page cache, so that the next walk reads the folders from the disk (needs root).
void DropCaches() {
    ::sync();
    std::ofstream drop("/proc/sys/vm/drop_caches");
    drop << "3\n";
    if (!drop.flush()) {
        std::cerr << "cannot drop the page cache: --cold needs root\n";
        std::exit(2);
    }
}

// The least a walk can do: one thread, each folder opened by its path and read once with
// getdents64, entry types from the directory, every path written to `out` unsorted.
double TimeMinimalWalk(const std::string& root, const std::string& out) {
    const auto start = Clock::now();
    FILE* file = std::fopen(out.c_str(), "w");
    static char buffer[1 << 16];
    std::setvbuf(file, buffer, _IOFBF, sizeof buffer);
    std::vector<std::string> stack{root};
    std::vector<char> block(1 << 16);
    while (!stack.empty()) {
        const std::string path = std::move(stack.back());
        stack.pop_back();
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        std::fprintf(file, "%s\n", path.c_str());
        if (fd < 0) continue;
        for (;;) {
            const long n = ::syscall(SYS_getdents64, fd, block.data(), block.size());
            if (n <= 0) break;
            for (long off = 0; off < n;) {
                const auto* d = reinterpret_cast<const dirent64*>(block.data() + off);
                off += d->d_reclen;
                const char* name = d->d_name;
                if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                    continue;
                if (d->d_type == DT_DIR) {
                    stack.push_back(path + "/" + name);
                } else {
                    std::fprintf(file, "%s/%s\n", path.c_str(), name);
                }
            }
        }
        ::close(fd);
    }
    std::fclose(file);
    return Seconds(Clock::now() - start);
}

// The floor of a listing with details: the walk above with one lstat-like call per entry, relative
// to its folder's handle, and no output at all.
double TimeStatWalk(const std::string& root) {
    const auto start = Clock::now();
    std::vector<std::string> stack{root};
    std::vector<char> block(1 << 16);
    struct stat st {};
    while (!stack.empty()) {
        const std::string path = std::move(stack.back());
        stack.pop_back();
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        for (;;) {
            const long n = ::syscall(SYS_getdents64, fd, block.data(), block.size());
            if (n <= 0) break;
            for (long off = 0; off < n;) {
                const auto* d = reinterpret_cast<const dirent64*>(block.data() + off);
                off += d->d_reclen;
                const char* name = d->d_name;
                if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                    continue;
                ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW);
                if (d->d_type == DT_DIR) stack.push_back(path + "/" + name);
            }
        }
        ::close(fd);
    }
    return Seconds(Clock::now() - start);
}

double TimeFind(const std::string& root, const std::string& out) {
    const std::string command = "find '" + root + "' -printf '%p\\n' > '" + out + "'";
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) {
        std::cerr << "find failed\n";
        std::exit(2);
    }
    return Seconds(Clock::now() - start);
}

std::vector<std::string> PathsInFile(const std::string& file) {
    std::vector<std::string> paths;
    std::ifstream in(file, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) paths.push_back(line);
    std::sort(paths.begin(), paths.end());
    return paths;
}

long PeakResidentKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Makes the index of `millions` million entries as a Save does (with a scratch file in `folder`),
// and prints what it added to the process's peak memory.
void IndexMemoryOf(const std::string& folder, double millions) {
    const int scratch = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (scratch < 0) {
        std::perror("a scratch file");
        std::exit(2);
    }
    quorvale::catalogue::IndexWriter builder;
    builder.KeepIn(scratch);
    const long before = PeakResidentKiB();
    const auto folders = static_cast<long>(millions * 1000);
    std::uint64_t entries = 0;
    char path[96];
    for (long d = 0; d < folders; ++d) {
        std::snprintf(path, sizeof path, "/media/backup/photos/folder%06ld", d);
        quorvale::reading::FolderStamp stamp;
        stamp.known = true;
        stamp.inode = static_cast<std::uint64_t>(d);
        builder.Add(path, true, 'd', stamp);
        ++entries;
        for (int f = 0; f < 999; ++f, ++entries) {
            std::snprintf(path, sizeof path, "/media/backup/photos/folder%06ld/IMG_%06ld_%03d.jpg",
                          d, d, f);
            builder.Add(path, false, 'f');
        }
    }
    std::uint64_t bytes = 0;
    builder.Finish(entries, 0, {}, [&bytes](std::string_view piece) { bytes += piece.size(); });
    std::printf("%9llu entries: index %llu bytes, peak memory %ld KiB more than before\n",
                static_cast<unsigned long long>(entries), static_cast<unsigned long long>(bytes),
                PeakResidentKiB() - before);
    ::close(scratch);
}

int TimeIndexMemory(int argc, char* argv[]) {
    for (int i = 3; i < argc; ++i) {
        std::fflush(stdout);
        const pid_t child = ::fork();
        if (child == 0) {
            IndexMemoryOf(argv[2], std::atof(argv[i]));
            std::fflush(stdout);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
    }
    return 0;
}

// Builds the index of the paths in the file `paths` (a folder's ending in "/") `rounds` times, and
// prints the median time and the index's checksum (the Save's identity is all zeros).
int TimeIndexBuild(const std::string& paths, int rounds, const char* scratchFolder) {
    std::ifstream in(paths);
    std::vector<std::string> entries;
    for (std::string line; std::getline(in, line);) entries.push_back(line);
    std::vector<double> times;
    std::vector<double> finishing;
    std::uint32_t checksum = 0;
    std::uint64_t size = 0;
    for (int round = 0; round < rounds; ++round) {
        int scratch = -1;
        if (scratchFolder != nullptr) {
            scratch = open(scratchFolder, O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
            if (scratch < 0) {
                std::perror(scratchFolder);
                return 1;
            }
        }
        const auto start = Clock::now();
        quorvale::catalogue::IndexWriter builder;
        if (scratch >= 0) builder.KeepIn(scratch);
        std::int64_t folder = 0;
        for (const std::string& path : entries) {
            const bool isFolder = path.size() > 1 && path.back() == '/';
            quorvale::reading::FolderStamp stamp;
            if (isFolder) {
                stamp.known = true;
                stamp.inode = static_cast<std::uint64_t>(++folder);
                stamp.readAt = folder;
            }
            builder.Add(isFolder ? std::string_view(path).substr(0, path.size() - 1) : path,
                        isFolder, isFolder ? 'd' : 'f', stamp);
        }
        const auto added = Clock::now();
        const std::string index = builder.Finish(entries.size(), 0, {});
        times.push_back(Seconds(Clock::now() - start));
        finishing.push_back(Seconds(Clock::now() - added));
        if (scratch >= 0) close(scratch);
        checksum = quorvale::catalogue::IndexChecksum(index);
        size = index.size();
    }
    std::printf(
        "%zu entries: index %llu bytes (checksum %08x), built in %.1f ms (median of %d, fastest "
        "%.1f), of which finishing %.1f ms\n",
        entries.size(), static_cast<unsigned long long>(size), checksum, Median(times) * 1000,
        rounds, *std::min_element(times.begin(), times.end()) * 1000, Median(finishing) * 1000);
    return 0;
}

// The window's search of kept listings, timed `rounds` times with the input latency meanwhile.
int TimeFindInTheWindow(int argc, char* argv[], const std::string& folder,
                        const std::string& pattern, int rounds) {
    QApplication app(argc, argv);
    quorvale::window::FindDialog dialog(folder);
    dialog.show();
    QApplication::processEvents();
    dialog.findChild<QLineEdit*>()->setText(QString::fromLocal8Bit(pattern.c_str()));
    LatencyProbe probe;
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        {
            const ProbePoster poster(probe);
            dialog.startSearch();
            QTimer poll;
            QObject::connect(&poll, &QTimer::timeout, [&dialog] {
                if (!dialog.Searching()) QApplication::quit();
            });
            poll.start(2);
            QApplication::exec();
        }
        times.push_back(Seconds(Clock::now() - start));
    }
    QApplication::processEvents();
    const double latencyMax =
        probe.waits.empty() ? 0 : *std::max_element(probe.waits.begin(), probe.waits.end());
    std::printf("platform        %s\n", QApplication::platformName().toStdString().c_str());
    std::printf("search (median) %.3f s over %d rounds: %llu matches, %zu shown\n", Median(times),
                rounds, static_cast<unsigned long long>(dialog.Found()), dialog.Matches().size());
    std::printf("input latency   %zu probes, median %.1f ms, max %.1f ms\n", probe.waits.size(),
                probe.waits.empty() ? 0.0 : Median(probe.waits), latencyMax);
    std::printf("peak memory     %.1f MiB resident\n",
                static_cast<double>(PeakResidentKiB()) / 1024.0);
    return latencyMax < 50 ? 0 : 3;
}

}  // namespace

int main(int argc, char* argv[]) {
    if ((argc == 4 || argc == 5) && std::string(argv[1]) == "--find-latency") {
        return TimeFindInTheWindow(argc, argv, argv[2], argv[3],
                                   argc == 5 ? std::atoi(argv[4]) : 3);
    }
    if (argc >= 4 && std::string(argv[1]) == "--index-memory") return TimeIndexMemory(argc, argv);
    if (argc >= 3 && std::string(argv[1]) == "--index-build") {
        return TimeIndexBuild(argv[2], argc >= 4 ? std::atoi(argv[3]) : 7,
                              argc >= 5 ? argv[4] : nullptr);
    }
    // The minimal walk alone, as a process of its own, for timing beside other whole programs.
    if (argc == 4 && std::string(argv[1]) == "--minimal-walk") {
        TimeMinimalWalk(argv[2], argv[3]);
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "--stat-walk") {
        TimeStatWalk(argv[2]);
        return 0;
    }
    long files = 200000;
    int rounds = 5;
    std::string root;
    bool keep = false;
    bool cold = false;
    bool oneFolder = false;
    bool smallFolders = false;
    auto durability = quorvale::runtime::Durability::kSynced;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--files" && i + 1 < argc) {
            files = std::atol(argv[++i]);
        } else if (arg == "--root" && i + 1 < argc) {
            root = argv[++i];
        } else if (arg == "--rounds" && i + 1 < argc) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--keep") {
            keep = true;
        } else if (arg == "--cold") {
            cold = true;
        } else if (arg == "--one-folder") {
            oneFolder = true;
        } else if (arg == "--small-folders") {
            smallFolders = true;
        } else if (arg == "--no-sync") {
            durability = quorvale::runtime::Durability::kUnsynced;
        } else {
            std::cerr << "usage: save_bench [--files N] [--root PATH] [--rounds R] [--keep] "
                         "[--no-sync] [--cold] [--one-folder | --small-folders]\n"
                         "       save_bench --minimal-walk ROOT OUT\n"
                         "       save_bench --stat-walk ROOT\n"
                         "       save_bench --find-latency FOLDER PATTERN [ROUNDS]\n";
            return 2;
        }
    }

    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create("Fusion"));

    std::unique_ptr<quorvale::support::TempDir> treeFolder;
    const bool built = root.empty();
    if (built) {
        treeFolder = std::make_unique<quorvale::support::TempDir>("quorvale-bench-tree");
        root = treeFolder->Path();
        std::cout << "building "
                  << (oneFolder      ? std::to_string(files) + " files in one folder"
                      : smallFolders ? std::to_string(files) + " folders of one file"
                                     : std::to_string(files) + " files in 1000 folders")
                  << " under " << root << " ..." << std::flush;
        if (oneFolder) {
            BuildOneFolder(root, files);
        } else if (smallFolders) {
            BuildSmallFolders(root, files);
        } else {
            BuildTree(root, files);
        }
        ::sync();  // so that writing the tree back does not disturb the timings
        std::cout << " done\n";
    }
    quorvale::support::TempDir outFolder("quorvale-bench-out");
    const std::string out = outFolder.Path();
    const std::string findOut = out + "/find.txt";

    quorvale::runtime::SystemRuntimeServices runtime(out, durability);
    quorvale::reading::PosixFileSystem fileSystem;
    quorvale::window::WindowHooks hooks = quorvale::window::DefaultWindowHooks();
    hooks.browseForFolder = [&root](QWidget*, const QString&) { return root; };
    hooks.messageBox = [](QWidget*, const QString& text, const QString&) {
        std::cerr << "message: " << text.toStdString() << "\n";
        std::exit(1);
    };
    hooks.endProgram = [] {};
    quorvale::window::MainWindow form(runtime, fileSystem, hooks);
    form.show();
    QApplication::processEvents();
    form.findChild<QPushButton*>("chooseButton")->click();
    QPushButton* saveButton = form.findChild<QPushButton*>("saveButton");

    LatencyProbe probe;
    const auto save = [&](bool probing) {
        form.Core().SetListFileNumber(1);
        if (cold) DropCaches();  // before the probes start: it is not the Save's delay
        std::optional<ProbePoster> poster;
        if (probing) poster.emplace(probe);
        const auto start = Clock::now();
        saveButton->click();
        const double seconds = Seconds(Clock::now() - start);
        poster.reset();
        QApplication::processEvents();
        return seconds;
    };

    // One warm-up of each, then alternating rounds.
    save(false);
    TimeFind(root, findOut);
    std::vector<double> saves;
    std::vector<double> finds;
    std::vector<double> minimal;
    for (int r = 0; r < rounds; ++r) {
        saves.push_back(save(true));
        if (cold) DropCaches();
        finds.push_back(TimeFind(root, findOut));
        if (cold) DropCaches();
        minimal.push_back(TimeMinimalWalk(root, out + "/minimal.txt"));
    }
    const long peakKiB = PeakResidentKiB();

    // The same Save without a window: the program's --save, timed as a whole process.
    std::vector<double> headless;
    const std::string headlessOut = out + "/headless";
    const std::string headlessCommand = std::string("env -u DISPLAY -u QT_QPA_PLATFORM '") +
                                        QUORVALE_PROGRAM + "' --save '" + root +
                                        "' --list-folder '" + headlessOut + "' >/dev/null";
    for (int r = 0; r < rounds; ++r) {
        if (cold) DropCaches();
        const auto start = Clock::now();
        if (std::system(headlessCommand.c_str()) != 0) {
            std::cerr << "the headless Save failed\n";
            return 1;
        }
        headless.push_back(Seconds(Clock::now() - start));
    }
    const int lastFile = form.Core().ListFileNumber() - 1;

    const std::vector<std::string> listed =
        quorvale::support::ListedPaths(quorvale::support::ReadListFiles(out, lastFile));
    const std::vector<std::string> found = PathsInFile(findOut);
    const bool complete = listed == found;

    const double saveMedian = Median(saves);
    const double findMedian = Median(finds);
    const double latencyMax =
        probe.waits.empty() ? 0 : *std::max_element(probe.waits.begin(), probe.waits.end());
    std::printf("platform        %s, page cache %s\n",
                QApplication::platformName().toStdString().c_str(),
                cold ? "dropped before every Save and every find (cold)" : "warm");
    std::printf("tree            %s: %zu entries\n", root.c_str(), found.size());
    std::printf("list files      %d, status \"%s\"\n", lastFile,
                form.findChild<QLabel*>("statusLabel")->text().toStdString().c_str());
    std::printf("save (median)   %.3f s over %d rounds, list files %s\n", saveMedian, rounds,
                durability == quorvale::runtime::Durability::kSynced ? "synced" : "not synced");
    std::printf("find (median)   %.3f s\n", findMedian);
    // What starting the process costs, measured on --version, to compare like with like.
    std::vector<double> starts;
    const std::string versionCommand =
        std::string("'") + QUORVALE_PROGRAM + "' --version >/dev/null";
    for (int r = 0; r < rounds; ++r) {
        const auto start = Clock::now();
        if (std::system(versionCommand.c_str()) != 0) return 1;
        starts.push_back(Seconds(Clock::now() - start));
    }
    const double headlessSave = Median(headless) - Median(starts);
    std::printf(
        "--save (median) %.3f s for the process, %.3f s of it starting up: the Save %.3f s,\n"
        "                %.2f x the window's\n",
        Median(headless), Median(starts), headlessSave, headlessSave / saveMedian);
    std::printf("ratio           %.2f x find\n", saveMedian / findMedian);
    std::printf("minimal walk    %.3f s (one thread, unsorted): Save %.2f x it\n", Median(minimal),
                saveMedian / Median(minimal));
    std::printf("entries/s       %.0f\n", static_cast<double>(found.size()) / saveMedian);
    std::printf("peak memory     %.1f MiB resident\n", static_cast<double>(peakKiB) / 1024.0);
    std::printf("input latency   %zu probes, median %.1f ms, max %.1f ms\n", probe.waits.size(),
                probe.waits.empty() ? 0.0 : Median(probe.waits), latencyMax);
    std::printf("complete        %s (%zu listed, %zu found)\n", complete ? "yes" : "NO",
                listed.size(), found.size());

    if (keep) {
        outFolder.Keep();
        if (treeFolder) treeFolder->Keep();
        std::printf("kept            %s and %s\n", out.c_str(), root.c_str());
    }
    if (!complete) return 1;
    return latencyMax < 50 ? 0 : 3;
}
