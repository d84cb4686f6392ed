#include "app/headless_save.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>

#include "app/termination_signals.h"
#include "listing/list_file_name.h"
#include "listing/listing_buffer.h"
#include "listing/listing_core.h"
#include "listing/posix_file_system.h"

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

}  // namespace

int RunHeadlessSave(const std::string& folder, runtime::RuntimeServices& runtime) {
    CatchTerminationSignals();
    listing::PosixFileSystem fileSystem;
    listing::ListingBuffer buffer;
    listing::ListingCore core(buffer, fileSystem, runtime);

    const bool progress = ::isatty(STDERR_FILENO) == 1;
    const auto start = std::chrono::steady_clock::now();
    auto lastProgress = start;
    const auto check = [&] {
        if (const int signal = TerminationSignal(); signal != 0) throw Stopped{signal};
        if (!progress) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastProgress < std::chrono::milliseconds(250)) return;
        lastProgress = now;
        const long files = core.ListFileNumber() - 1;
        const long lines = files * listing::kFlushThreshold + buffer.ListCount();
        const std::string_view current = CurrentFolder(buffer);
        std::fprintf(stderr, "\r\033[K%ld lines, %ld list files, %.1f s, %.*s", lines, files,
                     std::chrono::duration<double>(now - start).count(),
                     static_cast<int>(std::min<std::size_t>(current.size(), 60)), current.data());
        std::fflush(stderr);
    };
    core.SetYield(check);
    fileSystem.SetWaitHook(check);
    bool denied = false;
    core.SetFailureReport([&](const std::string& path, const runtime::RuntimeError& error) {
        if (error.Number() == runtime::PermissionDenied) denied = true;
        if (progress) std::fputs("\r\033[K", stderr);
        std::cerr << "quorvale: " << path << ": " << error.what() << "\n";
    });

    int status = kSavedComplete;
    try {
        core.SaveListing(folder);
        if (core.IncompleteCount() != 0 || denied) status = kSavedIncomplete;
        if (progress) std::fputs("\r\033[K", stderr);
        std::cout << listing::SavedStatus(core.ListFileNumber() - 1) << std::endl;
    } catch (const Stopped& stopped) {
        if (progress) std::fputs("\r\033[K", stderr);
        std::cerr << "quorvale: stopped by signal " << stopped.signal << "\n";
        return 128 + stopped.signal;
    } catch (const runtime::RuntimeError& error) {
        if (progress) std::fputs("\r\033[K", stderr);
        std::cerr << "quorvale: " << error.what() << "\n";
        std::cout << listing::kNotSavedStatus << std::endl;
        return kNotSaved;
    }
    return status;
}

}  // namespace quorvale::app
