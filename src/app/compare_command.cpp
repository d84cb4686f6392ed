#include "app/compare_command.h"

#include "app/signal_catcher.h"
#include "app/standard_streams.h"
#include "catalogue/listing_compare.h"
#include "runtime/runtime_error.h"

namespace quorvale::app {

namespace {

constexpr std::size_t kOutputBlock = 1 << 16;

// Thrown through the comparison when a signal asks it to stop.
struct Stopped {
    int signal;
};

}  // namespace

int RunCompare(const std::string& oldFolder, const std::string& newFolder) {
    std::string pending;
    int failed = 0;  // the status of a failed write to stdout
    const auto flush = [&] {
        if (failed == 0 && !pending.empty()) failed = WriteOutput(pending);
        pending.clear();
    };
    try {
        const bool differ = catalogue::CompareListings(
            oldFolder, newFolder,
            [&](std::string_view line) {
                pending.append(line);
                pending += '\n';
                if (pending.size() >= kOutputBlock) flush();
                if (failed != 0) throw runtime::RuntimeError(runtime::InvalidProcedureCall, "");
            },
            [] {
                if (const int signal = TerminationSignal(); signal != 0) throw Stopped{signal};
            });
        flush();
        if (failed != 0) return failed;
        return differ ? kListingsDiffer : kListingsEqual;
    } catch (const Stopped& stopped) {
        // The lines said so far are whole; the rest is not said.
        flush();
        if (failed != 0) return failed;
        WriteError("quorvale: stopped by signal " + std::to_string(stopped.signal) + "\n");
        return 128 + stopped.signal;
    } catch (const runtime::RuntimeError& error) {
        if (failed != 0) return failed;  // already said
        flush();
        WriteError("quorvale: " + std::string(error.what()) + "\n");
        return kCompareFailed;
    }
}

}  // namespace quorvale::app
