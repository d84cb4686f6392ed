// The real program, run as a child process on Qt's offscreen platform.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "listing/list_file_name.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

// Starts a copy of the program in a folder of its own, so that its list files land there.
class Program {
  public:
    explicit Program(const std::vector<std::string>& args = {}) {
        const std::string copy = folder / "quorvale";
        const std::string command = std::string("cp '") + QUORVALE_PROGRAM + "' '" + copy + "'";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot copy the program");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            std::vector<char*> argv{const_cast<char*>(copy.c_str())};
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(copy.c_str(), argv.data());
            ::_exit(127);
        }
    }
    ~Program() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    pid_t Pid() const { return pid_; }

    // The exit status, or -1 when it has not ended within `seconds` (or ended by a signal).
    int WaitForExit(double seconds) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

    TempDir folder;

  private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

// The outcome of one run of the program: its exit status, stdout and stderr.
struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

struct RunOptions {
    bool withoutDisplay = true;  // no DISPLAY, no QT_QPA_PLATFORM: nothing to show a window on
    bool asNobody = false;
    int signalAfterMs = 0;  // sends SIGTERM that long after the start
};

ProgramRun RunProgram(const std::vector<std::string>& args, const RunOptions& options = {}) {
    TempDir io;
    ::chmod(io.Path().c_str(), 0777);
    const std::string out = io / "out";
    const std::string err = io / "err";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        ::dup2(o, 1);
        ::dup2(e, 2);
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
        std::vector<char*> argv{const_cast<char*>(QUORVALE_PROGRAM)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execv(QUORVALE_PROGRAM, argv.data());
        ::_exit(127);
    }
    if (options.signalAfterMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.signalAfterMs));
        ::kill(pid, SIGTERM);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ProgramRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    run.out = ReadBytes(out);
    run.err = ReadBytes(err);
    return run;
}

TEST(CommandLine, HelpVersionAndWrongOptionsNeverNeedAWindow) {
    const ProgramRun help = RunProgram({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--list-folder <DIR>"), std::string::npos);
    EXPECT_NE(help.out.find("--save <DIR>"), std::string::npos);
    const ProgramRun version = RunProgram({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "quorvale " QUORVALE_VERSION "\n");
    const ProgramRun wrong = RunProgram({"--bogus"});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_EQ(wrong.out, "");
    EXPECT_EQ(std::count(wrong.err.begin(), wrong.err.end(), '\n'), 1);
    EXPECT_NE(wrong.err.find("bogus"), std::string::npos);
}

class HeadlessSave : public ::testing::Test {
  protected:
    HeadlessSave() {
        MakeFolder(dir / "R");
        MakeFile(dir / "R/a");
        MakeFolder(dir / "R/s");
        MakeFile(dir / "R/s/b");
        MakeFolder(dir / "out");
        ::chmod((dir / "out").c_str(), 0777);
    }
    TempDir dir;
};

TEST_F(HeadlessSave, WritesTheListFilesAndSaysSoOnStdout) {
    const ProgramRun run = RunProgram({"--save", dir / "R", "--list-folder", dir / "out"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "ListTex 1 To 1 Saved\n");
    EXPECT_EQ(run.err, "");  // no progress when stderr is not a terminal
    const std::string r = dir / "R";
    EXPECT_EQ(ReadBytes(dir / "out/ListTex1.txt"),
              r + "\r\n\t" + r + "\r\n\t\ta\r\n\t" + r + "/s\r\n\t\tb\r\n");
}

TEST_F(HeadlessSave, ADeniedFolderIsNamedOnStderrAndExitsOne) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    ::chmod((dir / "R/s").c_str(), 0700);  // root's: nobody may not read it
    const ProgramRun run =
        RunProgram({"--save", dir / "R", "--list-folder", dir / "out"}, {true, true, 0});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "ListTex 1 To 1 Saved\n");
    EXPECT_NE(run.err.find("quorvale: " + dir / "R/s" + ": "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Permission denied"), std::string::npos);
}

TEST_F(HeadlessSave, AnUnwritableListFolderExitsTwoWithTheReason) {
    MakeFile(dir / "out/ListTex1.txt", "kept");
    ::chmod((dir / "out/ListTex1.txt").c_str(), 0444);
    const ProgramRun run = RunProgram({"--save", dir / "R", "--list-folder", dir / "out"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "Not Saved\n");
    EXPECT_NE(run.err.find("the file is read-only"), std::string::npos) << run.err;
    EXPECT_EQ(ReadBytes(dir / "out/ListTex1.txt"), "kept");
}

TEST_F(HeadlessSave, SigtermStopsTheWalkWithNoPartWrittenFile) {
    // The whole file system takes long enough to list.
    const ProgramRun run =
        RunProgram({"--save", "/", "--list-folder", dir / "out"}, {true, false, 300});
    EXPECT_EQ(run.status, 143) << run.err;
    EXPECT_EQ(LeftoverFiles(dir / "out"), std::vector<std::string>{});
    for (int n = 1; Exists(listing::ListFilePath(dir / "out", n)); ++n) {
        EXPECT_EQ(SplitListFile(ReadBytes(listing::ListFilePath(dir / "out", n))).size(), 32000u);
    }
}

TEST_F(HeadlessSave, ShowsProgressOnlyOnATerminal) {
    // `script` gives the program a pseudo-terminal for stdout and stderr.
    const std::string command = "script -qec '" + std::string(QUORVALE_PROGRAM) + " --save /usr " +
                                "--list-folder " + dir / "out" + "' /dev/null";
    const std::string output = RunInChild([&] {
        std::string text;
        FILE* pipe = ::popen(command.c_str(), "r");
        char block[4096];
        std::size_t n = 0;
        while ((n = std::fread(block, 1, sizeof block, pipe)) > 0) text.append(block, n);
        ::pclose(pipe);
        return text;
    });
    EXPECT_NE(output.find(" lines, "), std::string::npos);
    EXPECT_NE(output.find("Saved"), std::string::npos);
}

TEST(Program, TerminationSignalsCloseTheWindowTheWayExitDoes) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        Program program;
        std::this_thread::sleep_for(std::chrono::milliseconds(700));  // the window is up
        ::kill(program.Pid(), signal);
        EXPECT_EQ(program.WaitForExit(5), 0) << "signal " << signal;
        EXPECT_EQ(LeftoverFiles(program.folder.Path()), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace quorvale::test
