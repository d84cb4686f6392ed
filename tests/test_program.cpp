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

#include "app/progress_line.h"
#include "listing/list_file_name.h"
#include "support/program_run.h"
#include "support/test_support.h"

namespace quorvale::test {
namespace {

// Starts a copy of the program in a folder of its own, so that its list files land there.
class Program {
  public:
    explicit Program(const std::vector<std::string>& args = {}) {
        const std::string copy = folder / "quorvale";
        if (!CopyProgram(copy)) throw std::runtime_error("cannot copy the program");
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

TEST(CommandLine, HelpVersionAndWrongOptionsNeverNeedAWindow) {
    const ProgramRun help = RunProgram({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--list-folder DIR"), std::string::npos);
    EXPECT_NE(help.out.find("--save FOLDER"), std::string::npos);
    const ProgramRun version = RunProgram({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "quorvale " QUORVALE_VERSION "\n");
    const ProgramRun wrong = RunProgram({"--bogus"});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_EQ(wrong.out, "");
    EXPECT_EQ(std::count(wrong.err.begin(), wrong.err.end(), '\n'), 1);
    EXPECT_NE(wrong.err.find("bogus"), std::string::npos);
}

// What `shell` wrote on stdout and stderr together.
std::string Output(const std::string& shell) {
    std::string text;
    FILE* pipe = ::popen(("{ " + shell + "; } 2>&1").c_str(), "r");
    char block[4096];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, pipe)) > 0;) text.append(block, n);
    ::pclose(pipe);
    return text;
}

TEST(CommandLine, OnlyTheWindowLoadsTheWindowSystemsAndTheCppLibraries) {
    TempDir dir;
    MakeFolder(dir / "tree");
    MakeFile(dir / "tree/a");
    MakeFolder(dir / "out");
    // The dynamic loader names every library it loads.
    const std::string program = std::string("LD_DEBUG=libs '") + QUORVALE_PROGRAM + "' ";
    for (const std::string& arguments :
         {std::string("--help"), std::string("--version"), std::string("--bogus"),
          "--save '" + dir / "tree" + "' --list-folder '" + dir / "out" + "'",
          "--find a '" + dir / "out" + "'"}) {
        const std::string loaded = Output(program + arguments);
        EXPECT_NE(loaded.find("libc.so"), std::string::npos) << arguments;
        EXPECT_EQ(loaded.find("libQt"), std::string::npos) << arguments;
        // Nor libcrypto, loaded only for SHA-256: relocating it took half of a short command.
        EXPECT_EQ(loaded.find("libcrypto"), std::string::npos) << arguments;
        // Nor libblkid but where a Save probes its drive's device.
        if (!arguments.starts_with("--save")) {
            EXPECT_EQ(loaded.find("libblkid"), std::string::npos) << arguments;
        }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // Nor the C++ library's: binding its symbols was most of a short command's start.
        EXPECT_EQ(loaded.find("libstdc++"), std::string::npos) << arguments;
#endif
    }
    EXPECT_EQ(ListFileLines(dir / "out", 1).back(), "\t\ta");
    const std::string window = Output("QT_QPA_PLATFORM=offscreen LD_DEBUG=libs timeout 2 '" +
                                      std::string(QUORVALE_PROGRAM) + "'");
    EXPECT_NE(window.find("libQt6Widgets"), std::string::npos);
}

TEST(CommandLine, AWindowProgramThatCannotBeFoundIsNamedWithExitTwo) {
    TempDir dir;
    const std::string copy = dir / "quorvale";
    ASSERT_EQ(std::system(("cp '" + std::string(QUORVALE_PROGRAM) + "' '" + copy + "'").c_str()),
              0);
    const std::string said = Output("'" + copy + "'; echo \"exit $?\"");
    EXPECT_NE(said.find("quorvale: cannot start the window (quorvale-window)"), std::string::npos)
        << said;
    EXPECT_NE(said.find("exit 2"), std::string::npos) << said;
    const std::string version = Output("'" + copy + "' --version");
    EXPECT_EQ(version, "quorvale " QUORVALE_VERSION "\n");
}

// What a shell command run by `script` (which gives it a pseudo-terminal) wrote there.
std::string OnATerminal(const std::string& shellCommand) {
    const std::string command = "script -qec '" + shellCommand + "' /dev/null";
    return RunInChild([&command] {
        std::string text;
        FILE* pipe = ::popen(command.c_str(), "r");
        char block[4096];
        std::size_t n = 0;
        while ((n = std::fread(block, 1, sizeof block, pipe)) > 0) text.append(block, n);
        ::pclose(pipe);
        return text;
    });
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
        RunProgram({"--save", dir / "R", "--list-folder", dir / "out"}, {.asNobody = true});
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

TEST_F(HeadlessSave, TerminationSignalsStopTheWalkWithNoPartWrittenFile) {
    // The whole file system takes long enough to list; the signal comes while a list file is
    // being written under its temporary name.
    for (const auto& [signal, status] : {std::pair{SIGTERM, 143}, {SIGINT, 130}, {SIGHUP, 129}}) {
        const std::string out = dir / ("out" + std::to_string(signal));
        const ProgramRun run =
            RunProgram({"--save", "/", "--list-folder", out},
                       {.sigtermOnceTrue = [&out](pid_t) { return !LeftoverFiles(out).empty(); },
                        .stopSignal = signal});
        EXPECT_EQ(run.status, status) << "signal " << signal << ": " << run.err;
        EXPECT_EQ(LeftoverFiles(out), std::vector<std::string>{});
        for (int n = 1; Exists(listing::ListFilePath(out, n)); ++n) {
            EXPECT_EQ(SplitListFile(ReadBytes(listing::ListFilePath(out, n))).size(), 32000u);
        }
    }
}

TEST_F(HeadlessSave, ShowsProgressOnlyOnATerminal) {
    const std::string command =
        std::string(QUORVALE_PROGRAM) + " --save " + dir / "R" + " --list-folder " + dir / "out";
    const std::string output = OnATerminal(command);
    EXPECT_NE(output.find(" lines, "), std::string::npos) << output;
    EXPECT_NE(output.find("ListTex 1 To 1 Saved"), std::string::npos) << output;
}

TEST_F(HeadlessSave, TheProgressLineFitsAnEightyColumnTerminal) {
    // Folders named in CJK characters and with an ESC byte, each with enough files that the
    // progress line names it.
    std::string cjk = dir / "R";
    for (int i = 0; i < 12; ++i) cjk += "/\xE6\x96\x87\xE4\xBB\xB6\xE5\xA4\xB9";  // /文件夹
    ASSERT_EQ(std::system(("mkdir -p '" + cjk + "'").c_str()), 0);
    const std::string escape = dir / "R/odd\x1B[2Jname";
    MakeFolder(escape);
    for (const std::string& folder : {cjk, escape}) {
        for (const std::string& name : NumberedNames("f", 17000, 100000)) {
            MakeFile(folder + "/" + name);
        }
    }
    const std::string command = "stty cols 80; " + std::string(QUORVALE_PROGRAM) + " --save " +
                                dir / "R" + " --list-folder " + dir / "out";
    const std::string output = OnATerminal(command);
    int progressLines = 0;
    const std::string clear = "\r\x1B[K";
    for (std::size_t at = output.find(clear); at != std::string::npos;) {
        const std::size_t next = output.find(clear, at + clear.size());
        std::string segment = output.substr(at + clear.size(), next - at - clear.size());
        if (const auto end = segment.find_first_of("\r\n"); end != std::string::npos) {
            segment.resize(end);
        }
        if (segment.find(" lines, ") != std::string::npos) {
            ++progressLines;
            EXPECT_LT(app::DisplayWidth(segment), 80u) << segment;
            EXPECT_EQ(segment.find('\x1B'), std::string::npos) << segment;
        }
        at = next;
    }
    EXPECT_GT(progressLines, 0) << output;
    EXPECT_NE(output.find("ListTex 1 To 2 Saved"), std::string::npos);
}

TEST_F(HeadlessSave, ArgumentsThatDifferOnlyInABadByteAreNeverSwapped) {
    const std::string listed = dir / "d\xFE";
    const std::string into = dir / "d\xFF";
    MakeFolder(listed);
    MakeFile(listed + "/f");
    MakeFolder(into);
    for (const auto& args : SaveArgumentForms(listed, into)) {
        ::unlink((into + "/ListTex1.txt").c_str());
        const ProgramRun run = RunProgram(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(ReadBytes(into + "/ListTex1.txt"), listed + "\r\n\t" + listed + "\r\n\t\tf\r\n");
        EXPECT_FALSE(Exists(listed + "/ListTex1.txt"));
    }
}

TEST_F(HeadlessSave, AWrongCommandLineOrAMissingFolderWritesNothingAndExitsTwo) {
    MakeFile(dir / "out/ListTex1.txt", "the last good listing\r\n");
    const std::vector<std::vector<std::string>> wrong = {
        {"--save", ""},
        {"--save", dir / "R", "--list-folder", ""},
        {"--save", dir / "R", "--save", dir / "R"},
        {"--save", dir / "R", dir / "R/s"},
        {"--help-all"},
        {"-style"},
    };
    for (const auto& args : wrong) {
        const ProgramRun run = RunProgram(args);
        EXPECT_EQ(run.status, 2) << args[0];
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
    for (const std::string& missing : {dir / "R/mistyped", dir / "R/a"}) {
        const ProgramRun run = RunProgram({"--save", missing, "--list-folder", dir / "out"});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "Not Saved\n");
        EXPECT_NE(run.err.find(missing), std::string::npos) << run.err;
    }
    EXPECT_EQ(ReadBytes(dir / "out/ListTex1.txt"), "the last good listing\r\n");
}

TEST_F(HeadlessSave, AnOutputThatFailsOrWhoseReaderWentAwayLeavesNoTemporaryFile) {
    // stdout full: the list files are written, but nobody learns it: a write error and 2.
    const ProgramRun full = RunProgram({"--save", dir / "R", "--list-folder", dir / "out"},
                                       {.stdoutFile = "/dev/full"});
    EXPECT_EQ(full.status, 2);
    EXPECT_EQ(full.err, "quorvale: write error: No space left on device\n");
    const ProgramRun gone =
        RunProgram({"--save", dir / "R", "--list-folder", dir / "out"}, {.stdoutReaderGone = true});
    EXPECT_EQ(gone.status, 141);
    EXPECT_EQ(LeftoverFiles(dir / "out"), std::vector<std::string>{});

    // stderr's reader gone while denied folders are named: the Save stops as SIGTERM stops it.
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to deny folders to another user";
    MakeFolder(dir / "big");
    for (int i = 0; i < 20; ++i) {
        const std::string sub = dir / ("big/d" + std::to_string(100 + i));
        MakeFolder(sub);
        for (const std::string& name : NumberedNames("f", 500, 10000)) MakeFile(sub + "/" + name);
        MakeFolder(sub + "/closed");
        ::chmod((sub + "/closed").c_str(), 0700);
    }
    const ProgramRun stopped = RunProgram({"--save", dir / "big", "--list-folder", dir / "out"},
                                          {.asNobody = true, .stderrReaderGone = true});
    EXPECT_EQ(stopped.status, 141);
    EXPECT_EQ(LeftoverFiles(dir / "out"), std::vector<std::string>{});
}

TEST_F(HeadlessSave, AListFolderThatMayBeWrittenButNotReadIsRefusedWithTheReason) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    ::chmod((dir / "out").c_str(), 0733);
    const ProgramRun run =
        RunProgram({"--save", dir / "R", "--list-folder", dir / "out"}, {.asNobody = true});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "Not Saved\n");
    EXPECT_NE(run.err.find("it may not be read"), std::string::npos) << run.err;
    EXPECT_EQ(LeftoverFiles(dir / "out"), std::vector<std::string>{});
}

// An X display number nobody serves here.
std::string SilentDisplay() {
    for (int number = 900;; ++number) {
        if (!Exists("/tmp/.X11-unix/X" + std::to_string(number)))
            return ":" + std::to_string(number);
    }
}

TEST(Program, WithoutADisplayItSaysHowToListWithoutAWindowAndExitsTwo) {
    const std::string said =
        "quorvale: no display to open the window on; to list without a window: quorvale --save "
        "FOLDER\n";
    const std::vector<std::vector<std::pair<std::string, std::string>>> environments = {
        {},                              // nothing named
        {{"DISPLAY", ""}},               // named as nothing
        {{"DISPLAY", SilentDisplay()}},  // named, not answering
        {{"QT_QPA_PLATFORM", "xcb"}},    // a platform that needs a display, and none
        {{"QT_QPA_PLATFORM", "no-such-platform"}},
    };
    for (const auto& environment : environments) {
        const ProgramRun run = RunProgram({"/"}, {.environment = environment});
        const std::string named =
            environment.empty() ? "" : environment[0].first + "=" + environment[0].second;
        EXPECT_EQ(run.status, 2) << named;
        EXPECT_EQ(run.out, "") << named;
        EXPECT_EQ(run.err, said) << named;
    }
    // -platform on the command line names one: the offscreen window starts and is closed.
    const ProgramRun run = RunProgram(
        {"-platform", "offscreen"},
        {.sigtermOnceTrue = [](pid_t pid) { return ExecutableName(pid) == "quorvale-window"; }});
    EXPECT_EQ(run.status, 0) << run.err;
}

TEST(Program, TerminationSignalsCloseTheWindowTheWayExitDoes) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        Program program;
        // The window's program has taken over and catches the signal: from then on it closes the
        // window, also before the window is shown.
        ASSERT_TRUE(WaitUntil([&] {
            return ExecutableName(program.Pid()) == "quorvale-window" &&
                   CatchesSignal(program.Pid(), signal);
        })) << "signal "
            << signal;
        ::kill(program.Pid(), signal);
        EXPECT_EQ(program.WaitForExit(60), 0) << "signal " << signal;
        EXPECT_EQ(LeftoverFiles(program.folder.Path()), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace quorvale::test
