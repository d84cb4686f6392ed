// A tree of odd names for the tests of what reads kept listings back (finding, exporting), and
// the tests' own walk of it, independent of the program's.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "catalogue/earlier_listing.h"
#include "runtime/nanoseconds.h"
#include "support/test_support.h"

namespace quorvale::test {

// A tree of odd names: bytes that are not UTF-8, CR and LF, leading dashes, shell pattern
// characters, names of 255 bytes.
inline void MakeOddTree(const std::string& root, std::mt19937& random) {
    const std::vector<std::string> parts = {
        "a", "b", "report", "Report", "-x", "\xFF", "\xC3\xA9", "\r", "\n", " ", "*",
        "[", "?", ".",      "A",      "z",  "tmp",  "-",        "]",  "x",  ",", "\""};
    std::uniform_int_distribution<std::size_t> part(0, parts.size() - 1);
    std::uniform_int_distribution<int> count(1, 4);
    std::set<std::string> made;
    const auto name = [&] {
        std::string text;
        for (int i = count(random); i > 0; --i) text += parts[part(random)];
        return text == "." || text == ".." ? text + "x" : text;
    };
    std::vector<std::string> folders = {root};
    for (int i = 0; i < 12; ++i) {
        const std::string folder = folders[random() % folders.size()] + "/" + name();
        if (made.insert(folder).second) {
            MakeFolder(folder);
            folders.push_back(folder);
        }
    }
    for (int i = 0; i < 120; ++i) {
        const std::string file = folders[random() % folders.size()] + "/" + name();
        if (made.insert(file).second) MakeFile(file);
    }
    MakeFile(root + "/" + std::string(255, 'L'));
    MakeFile(root + "/-" + std::string(254, '\xFF'));
}

// The path a listing writes for a path of the tree: CR and LF as the signs for them.
inline std::string Written(const std::string& path) {
    std::string text;
    for (const char c : path) {
        text += c == '\r' ? "\xE2\x90\x8D" : c == '\n' ? "\xE2\x90\x8A" : std::string(1, c);
    }
    return text;
}

// Every entry below and with `root`, by the tests' own walk: its written path (with `real`, its
// path's own bytes), folders ending in "/".
inline void Walk(const std::string& path, std::vector<std::string>& entries, bool real = false) {
    entries.push_back((real ? path : Written(path)) + "/");
    DIR* folder = ::opendir(path.c_str());
    ASSERT_NE(folder, nullptr) << path;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        const std::string child = path + "/" + name;
        ASSERT_EQ(::lstat(child.c_str(), &st), 0);
        if (S_ISDIR(st.st_mode)) {
            Walk(child, entries, real);
        } else {
            entries.push_back(real ? child : Written(child));
        }
    }
    ::closedir(folder);
}

// Waits until every entry below and with `root` is older than a reading of it could miss (the
// file system's tick, as a re-listing takes it), so that a later Save may take it from an earlier
// listing. Fails the test when that never comes.
inline void WaitUntilOlderThanTheirTick(const std::string& root) {
    std::vector<std::string> entries;
    Walk(root, entries, true);
    std::int64_t newest = 0;
    for (std::string path : entries) {
        if (path.size() > 1 && path.ends_with('/')) path.pop_back();
        struct stat st {};
        ::lstat(path.c_str(), &st);
        newest =
            std::max({newest, runtime::Nanoseconds(st.st_mtim), runtime::Nanoseconds(st.st_ctim)});
    }
    ASSERT_TRUE(WaitUntil([newest] {
        return runtime::NanosecondsNow() > newest + catalogue::kFolderTimeGranularity + 10'000'000;
    }));
}

// Writes `bytes` over `path` at `at` and puts its modification time back: a change only its
// change time tells (as bit rot or a careful hand leaves). False when it cannot.
inline bool RewriteKeepingItsTime(const std::string& path, std::string_view bytes, off_t at) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool written =
        ::pwrite(fd, bytes.data(), bytes.size(), at) == static_cast<ssize_t>(bytes.size());
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    const bool timed = ::futimens(fd, times) == 0;
    ::close(fd);
    return written && timed;
}

// The bytes process `pid` ("self": this one) has read so far, by any of its threads (its rchar);
// 0 once it has ended.
inline std::uint64_t BytesReadBy(const std::string& pid) {
    std::ifstream io("/proc/" + pid + "/io");
    for (std::string key; io >> key;) {
        std::uint64_t value = 0;
        io >> value;
        if (key == "rchar:") return value;
    }
    return 0;
}

}  // namespace quorvale::test
