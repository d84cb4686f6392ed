// Running the real program as a child process, for the tests of the program (the build defines
// QUORVALE_PROGRAM and QUORVALE_WINDOW_PROGRAM, the programs' paths).
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace quorvale::test {

// Copies the program to `copy`, and the window's program beside it; false if it cannot.
// Whether `text` holds `part` (a message, an output).
inline bool Holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Runs `command` in a shell; its status, and its stdout and stderr together.
inline std::pair<int, std::string> Shell(const std::string& command, const TempDir& dir) {
    const int status = std::system((command + " > '" + dir / "shell.out" + "' 2>&1").c_str());
    return {WEXITSTATUS(status), ReadBytes(dir / "shell.out")};
}

inline bool CopyProgram(const std::string& copy) {
    const std::string folder = copy.substr(0, copy.rfind('/'));
    const std::string command = std::string("cp '") + QUORVALE_PROGRAM + "' '" + copy +
                                "' && cp '" + QUORVALE_WINDOW_PROGRAM + "' '" + folder + "/'";
    return std::system(command.c_str()) == 0;
}

// Whether process `pid` has a handler of its own for `signal` (its SigCgt mask in /proc).
inline bool CatchesSignal(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("SigCgt:")) {
            const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
            return ((mask >> (signal - 1)) & 1U) != 0;
        }
    }
    return false;
}

// The file name of the executable process `pid` runs now ("" once it has ended).
inline std::string ExecutableName(pid_t pid) {
    char target[4096];
    const ssize_t n =
        ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target, sizeof target);
    if (n <= 0) return "";
    const std::string path(target, static_cast<std::size_t>(n));
    return path.substr(path.rfind('/') + 1);
}

// The outcome of one run of the program: its exit status, stdout and stderr.
struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
    long peakKiB = 0;  // the child's peak resident memory
};

struct RunOptions {
    // No DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM: nothing to show a window on.
    bool withoutDisplay = true;
    std::vector<std::pair<std::string, std::string>> environment{};  // set after that
    bool asNobody = false;
    // When set (and this process is root), the program runs as this user, whom no process is
    // charged to, allowed `processes` processes and threads in all (RLIMIT_NPROC).
    uid_t asUnusedUser = 0;
    rlim_t processes = 0;
    // When set, SIGTERM is sent once the program catches it and this holds (or a minute has
    // passed): an event, not a time, so that a busy machine starts the program as late as it may.
    std::function<bool(pid_t)> sigtermOnceTrue{};
    int stopSignal = SIGTERM;  // what sigtermOnceTrue sends (SIGINT, SIGHUP: the others that stop)
    const char* stdoutFile = nullptr;  // stdout goes there (such as /dev/full) instead
    std::string workingFolder{};       // the program starts there (empty: where the tests run)
    bool stdoutReaderGone = false;     // stdout is a pipe nobody reads
    bool stderrReaderGone = false;     // stderr is a pipe nobody reads
    rlim_t openFiles = 0;              // when set, the program's limit of open files, soft and hard
};

// A pipe whose reading end is closed: every write to `fd` fails with EPIPE.
inline void PipeWithoutReader(int fd) {
    int fds[2];
    if (::pipe(fds) != 0) ::_exit(125);
    ::close(fds[0]);
    ::dup2(fds[1], fd);
}

inline ProgramRun RunProgram(const std::vector<std::string>& args, const RunOptions& options = {}) {
    TempDir io;
    ::chmod(io.Path().c_str(), 0777);
    const std::string out = io / "out";
    const std::string err = io / "err";
    // Another user runs a copy it can reach, wherever the build folder lives.
    std::string program = QUORVALE_PROGRAM;
    const bool asAnother = (options.asNobody || options.asUnusedUser != 0) && ::geteuid() == 0;
    if (asAnother) {
        program = io / "quorvale";
        if (!CopyProgram(program)) ADD_FAILURE() << "cannot copy the program";
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int o = ::open(options.stdoutFile != nullptr ? options.stdoutFile : out.c_str(),
                             O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        ::dup2(o, 1);
        ::dup2(e, 2);
        if (options.stdoutReaderGone) PipeWithoutReader(1);
        if (options.stderrReaderGone) PipeWithoutReader(2);
        if (options.withoutDisplay) {
            ::unsetenv("DISPLAY");
            ::unsetenv("WAYLAND_DISPLAY");
            ::unsetenv("QT_QPA_PLATFORM");
        }
        // A Save without a list folder keeps its listing in the catalogue of the user's data
        // folder: the run's own, never the one of whoever runs the tests (unless a test names one).
        ::setenv("XDG_DATA_HOME", (io / "data").c_str(), 1);
        for (const auto& [name, value] : options.environment)
            ::setenv(name.c_str(), value.c_str(), 1);
        if (!options.workingFolder.empty() && ::chdir(options.workingFolder.c_str()) != 0) {
            ::_exit(126);
        }
        if (options.openFiles != 0) {
            const rlimit limit{options.openFiles, options.openFiles};
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(126);
        }
        if (options.processes != 0) {
            const rlimit limit{options.processes, options.processes};
            if (::setrlimit(RLIMIT_NPROC, &limit) != 0) ::_exit(126);
        }
        if (asAnother) {
            const uid_t user = options.asNobody ? 65534 : options.asUnusedUser;
            if (::setgroups(0, nullptr) != 0 || ::setresgid(user, user, user) != 0 ||
                ::setresuid(user, user, user) != 0) {
                ::_exit(126);
            }
            ::setenv("HOME", io.Path().c_str(), 1);
        }
        std::vector<char*> argv{program.data()};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    if (options.sigtermOnceTrue) {
        // The child runs the program (not this test program, whose handlers a fork copies), the
        // condition holds, and then the program catches the signal: looked at in that order, as
        // what the condition looks for may be a program exec'd since, with handlers of its own.
        const std::string self = ExecutableName(::getpid());
        WaitUntil([&] {
            return ExecutableName(pid) != self && options.sigtermOnceTrue(pid) &&
                   CatchesSignal(pid, options.stopSignal);
        });
        ::kill(pid, options.stopSignal);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    ProgramRun run;
    run.peakKiB = usage.ru_maxrss;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    run.out = ReadBytes(out);
    run.err = ReadBytes(err);
    return run;
}

// What a sanitizer adds to the program's peak memory: what it takes itself in a process that
// does nothing (`--version`) beyond what a plain build's takes (4 MiB), which grows with the
// program and its shadow, and room for the freed blocks it holds back (8 MiB); at least
// kSanitizerSlackKiB, and 0 without a sanitizer.
inline long SanitizerSlackKiB() {
    if (kSanitizerSlackKiB == 0) return 0;
    static const long slack = [] {
        const ProgramRun idle = RunProgram({"--version"});
        return std::max<long>(kSanitizerSlackKiB, idle.peakKiB - 4 * 1024 + 8 * 1024);
    }();
    return slack;
}

}  // namespace quorvale::test
