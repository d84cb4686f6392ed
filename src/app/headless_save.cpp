#include "app/headless_save.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "app/progress_line.h"
#include "app/signal_catcher.h"
#include "app/standard_streams.h"
#include "listing/list_file_name.h"
#include "listing/listing_buffer.h"
#include "listing/listing_core.h"
#include "listing/posix_file_system.h"
#include "runtime/process_memory.h"

namespace quorvale::app {

namespace {

// Thrown through the walk when a signal asks the Save to stop.
struct Stopped {
    int signal;
};

// The folder the walk is in: the last folder line in the buffer, if any.
std::string_view CurrentFolder(const listing::ListingBuffer& buffer) {
    for (int i = buffer.ListCount() - 1; i >= 0; --i) {
        const std::string_view line = buffer.Line(static_cast<std::size_t>(i));
        if (line.size() > 1 && line[0] == '\t' && line[1] != '\t') return line.substr(1);
    }
    return {};
}

// Why `folder` cannot be listed at all, or empty when it is a folder (or a link to one).
std::string WhyNotAFolder(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return "Not a folder";
    return {};
}

}  // namespace

int RunHeadlessSave(const std::string& folder, runtime::RuntimeServices& runtime,
                    const listing::ListingOptions& options) {
    runtime::KeepFreedMemoryUntilExit();  // the process ends with the Save
    listing::PosixFileSystem fileSystem;
    return RunHeadlessSave(folder, runtime, fileSystem, options);
}

int RunHeadlessSave(const std::string& folder, runtime::RuntimeServices& runtime,
                    listing::FileSystem& fileSystem, const listing::ListingOptions& options) {
    CatchTerminationSignals();
    // Nothing is written for what is not a folder: the earlier list files stay as they were.
    if (const std::string why = WhyNotAFolder(folder); !why.empty()) {
        WriteError("quorvale: cannot list \"" + folder + "\": " + why + "\n");
        const int status = WriteOutput(std::string(listing::kNotSavedStatus) + "\n");
        return status != 0 ? status : kNotSaved;
    }
    // A reader of stderr that goes away stops the Save as SIGTERM does.
    bool readerGone = false;
    const auto say = [&readerGone](const std::string& text) {
        if (WriteError(text) == EPIPE) readerGone = true;
    };
    listing::ListingBuffer buffer;
    listing::ListingCore core(buffer, fileSystem, runtime);
    core.SetOptions(options);

    const bool progress = ::isatty(STDERR_FILENO) == 1;
    const auto start = std::chrono::steady_clock::now();
    auto lastProgress = start - std::chrono::seconds(1);  // the first line at once
    const auto check = [&] {
        if (const int signal = TerminationSignal(); signal != 0) throw Stopped{signal};
        if (readerGone) throw Stopped{SIGPIPE};
        if (!progress) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastProgress < std::chrono::milliseconds(250)) return;
        lastProgress = now;
        const long files = core.ListFileNumber() - 1;
        const long lines = files * listing::kFlushThreshold + buffer.ListCount();
        const std::string_view current = CurrentFolder(buffer);
        const double seconds = std::chrono::duration<double>(now - start).count();
        say("\r\033[K" +
            ProgressLine(lines, files, seconds, current, TerminalColumns(STDERR_FILENO)));
    };
    core.SetYield(check);
    fileSystem.SetWaitHook(check);
    // The file system may outlive this Save; the hook, which refers to it, does not.
    struct ForgetHook {
        listing::FileSystem& fileSystem;
        ~ForgetHook() { fileSystem.SetWaitHook({}); }
    } forgetHook{fileSystem};
    bool denied = false;
    core.SetFailureReport([&](const std::string& path, const runtime::RuntimeError& error) {
        if (error.Number() == runtime::PermissionDenied) denied = true;
        say(std::string(progress ? "\r\033[K" : "") + "quorvale: " + path + ": " + error.what() +
            "\n");
    });

    const std::string clearProgress = progress ? "\r\033[K" : "";
    int status = kSavedComplete;
    try {
        core.SaveListing(folder);
        if (core.IncompleteCount() != 0 || denied) status = kSavedIncomplete;
        if (readerGone) return 128 + SIGPIPE;
        if (progress) say(clearProgress);
        const int written = WriteOutput(listing::SavedStatus(core.ListFileNumber() - 1) + "\n");
        return written != 0 ? written : status;
    } catch (const Stopped& stopped) {
        if (stopped.signal != SIGPIPE) {
            say(clearProgress + "quorvale: stopped by signal " + std::to_string(stopped.signal) +
                "\n");
        }
        return 128 + stopped.signal;
    } catch (const runtime::RuntimeError& error) {
        say(clearProgress + "quorvale: " + error.what() + "\n");
        const int written = WriteOutput(std::string(listing::kNotSavedStatus) + "\n");
        return written != 0 && written != 2 ? written : kNotSaved;
    }
}

}  // namespace quorvale::app
