#include "app/compare_command.h"

#include "app/standard_streams.h"
#include "catalogue/listing_compare.h"
#include "runtime/runtime_error.h"

namespace quorvale::app {

namespace {

constexpr std::size_t kOutputBlock = 1 << 16;

}  // namespace

int RunCompare(const std::string& oldFolder, const std::string& newFolder) {
    std::string pending;
    int failed = 0;  // the status of a failed write to stdout
    const auto flush = [&] {
        if (failed == 0 && !pending.empty()) failed = WriteOutput(pending);
        pending.clear();
    };
    try {
        const bool differ =
            catalogue::CompareListings(oldFolder, newFolder, [&](std::string_view line) {
                pending.append(line);
                pending += '\n';
                if (pending.size() >= kOutputBlock) flush();
                if (failed != 0) throw runtime::RuntimeError(runtime::InvalidProcedureCall, "");
            });
        flush();
        if (failed != 0) return failed;
        return differ ? kListingsDiffer : kListingsEqual;
    } catch (const runtime::RuntimeError& error) {
        if (failed != 0) return failed;  // already said
        flush();
        WriteError("quorvale: " + std::string(error.what()) + "\n");
        return kCompareFailed;
    }
}

}  // namespace quorvale::app
