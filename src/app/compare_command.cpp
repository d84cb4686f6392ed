#include "app/compare_command.h"

#include <string_view>
#include <utility>

#include "app/held_output.h"
#include "app/signal_catcher.h"
#include "app/standard_streams.h"
#include "catalogue/listing_compare.h"
#include "runtime/runtime_error.h"

namespace quorvale::app {

namespace {

// A warning is said once, however often the listings are compared.
bool Compare(const std::string& oldFolder, const std::string& newFolder, HeldOutput& output) {
    static bool warned = false;
    return catalogue::CompareListings(
        oldFolder, newFolder, [&output](std::string_view line) { output.Line(line); },
        StopIfSignalled,
        [](std::string_view warning) {
            if (std::exchange(warned, true)) return;
            WriteError(ErrorMessage("warning: " + std::string(warning)));
        });
}

// Compares, and once more when a Save replaced a listing while it was read.
bool CompareWhole(const std::string& oldFolder, const std::string& newFolder, HeldOutput& output) {
    try {
        return Compare(oldFolder, newFolder, output);
    } catch (const catalogue::ListingChanged&) {
        output.Clear();
        return Compare(oldFolder, newFolder, output);
    }
}

}  // namespace

int RunCompare(const std::string& oldFolder, const std::string& newFolder) {
    try {
        HeldOutput output("quorvale-compare");
        const bool differ = CompareWhole(oldFolder, newFolder, output);
        if (const int status = output.Print(); status != 0) return status;
        return differ ? kListingsDiffer : kListingsEqual;
    } catch (const StoppedBySignal& stopped) {
        return ReportStopped(stopped);
    } catch (const runtime::RuntimeError& error) {
        WriteError(ErrorMessage(error.what()));
        return kCompareFailed;
    }
}

}  // namespace quorvale::app
