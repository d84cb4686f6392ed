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

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace quorvale::test {

// Copies the program to `copy`, and the window's program beside it; false if it cannot.
inline bool CopyProgram(const std::string& copy) {
    const std::string folder = copy.substr(0, copy.rfind('/'));
    const std::string command = std::string("cp '") + QUORVALE_PROGRAM + "' '" + copy +
                                "' && cp '" + QUORVALE_WINDOW_PROGRAM + "' '" + folder + "/'";
    return std::system(command.c_str()) == 0;
}

// The outcome of one run of the program: its exit status, stdout and stderr.
struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
    long peakKiB = 0;  // the child's peak resident memory
};

struct RunOptions {
    bool withoutDisplay = true;  // no DISPLAY, no QT_QPA_PLATFORM: nothing to show a window on
    bool asNobody = false;
    int signalAfterMs = 0;  // sends SIGTERM that long after the start
    const char* stdoutFile = nullptr;  // stdout goes there (such as /dev/full) instead
    bool stdoutReaderGone = false;     // stdout is a pipe nobody reads
    bool stderrReaderGone = false;     // stderr is a pipe nobody reads
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
    if (options.asNobody) {
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
            ::unsetenv("QT_QPA_PLATFORM");
        }
        if (options.asNobody && ::geteuid() == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                ::setresuid(65534, 65534, 65534) != 0) {
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
    if (options.signalAfterMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.signalAfterMs));
        ::kill(pid, SIGTERM);
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

}  // namespace quorvale::test
