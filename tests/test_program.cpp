// The real program, run as a child process on Qt's offscreen platform.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

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
