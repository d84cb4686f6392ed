#include "app/compare_command.h"

#include <string_view>

#include "app/held_output.h"
#include "app/signal_catcher.h"
#include "app/standard_streams.h"
#include "catalogue/listing_compare.h"
#include "runtime/runtime_error.h"

namespace quorvale::app {

namespace {

bool Compare(const std::string& oldFolder, const std::string& newFolder, HeldOutput& output) {
    return catalogue::CompareListings(
        oldFolder, newFolder, [&output](std::string_view line) { output.Line(line); },
        StopIfSignalled);
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
        WriteError("quorvale: " + std::string(error.what()) + "\n");
        return kCompareFailed;
    }
}

}  // namespace quorvale::app
