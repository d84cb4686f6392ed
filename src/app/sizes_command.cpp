#include "app/sizes_command.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "app/signal_catcher.h"
#include "app/standard_streams.h"
#include "catalogue/listing_tree.h"
#include "listing/list_file_writer.h"
#include "runtime/human_size.h"
#include "runtime/runtime_error.h"

namespace quorvale::app {

std::string SizeField(const SizesRequest& request, std::uint64_t bytes, std::uint64_t blocks) {
    const bool apparent = request.apparentSize || request.bytes;
    const std::uint64_t counted = apparent ? bytes : blocks * 512;
    if (request.humanReadable) return runtime::HumanReadableSize(counted);
    if (request.bytes) return std::to_string(counted);
    return std::to_string(counted / 1024 + (counted % 1024 != 0 ? 1 : 0));
}

int RunSizes(const SizesRequest& request) {
    try {
        const catalogue::ListingTree tree(request.listing, "show sizes of");
        if (request.nulls) {
            const std::string notice =
                catalogue::LineBreakSignNotice(request.listing, tree.Record());
            if (!notice.empty()) WriteError(ErrorMessage(notice));
        }
        std::uint64_t folder = 0;
        if (!request.path.empty()) {
            const std::optional<std::uint64_t> found = tree.FolderAt(request.path);
            if (!found) {
                throw runtime::RuntimeError(runtime::PathNotFound,
                                            "Cannot show sizes of \"" + request.path +
                                                "\": the listing \"" + request.listing +
                                                "\" holds no such folder");
            }
            folder = *found;
        }
        const char end = request.nulls ? '\0' : '\n';
        struct Line {
            std::uint64_t size;
            std::string text;
            std::size_t pathAt;
        };
        std::vector<Line> held;  // only when sorted
        tree.ForEachBelow(
            folder, request.maxDepth.value_or(UINT64_MAX),
            [&](const catalogue::ListingTree::FolderBelow& below) {
                std::string text = SizeField(request, below.totals.bytes, below.totals.blocks);
                text += '\t';
                const std::size_t pathAt = text.size();
                if (request.nulls) {
                    listing::AppendRealBytes(text, below.path);  // as -0 gives every name back
                } else {
                    text += below.path;
                }
                text += end;
                if (request.sort == SizesRequest::Sort::kListing) return WriteOutputOrStop(text);
                const bool apparent = request.apparentSize || request.bytes;
                held.push_back(
                    {apparent ? below.totals.bytes : below.totals.blocks, std::move(text), pathAt});
            },
            StopIfSignalled);
        if (request.sort == SizesRequest::Sort::kSize) {
            std::stable_sort(held.begin(), held.end(),
                             [](const Line& a, const Line& b) { return a.size > b.size; });
        } else {
            std::sort(held.begin(), held.end(), [](const Line& a, const Line& b) {
                return std::string_view(a.text).substr(a.pathAt) <
                       std::string_view(b.text).substr(b.pathAt);
            });
        }
        for (const Line& line : held) WriteOutputOrStop(line.text);
        return kSizesShown;
    } catch (const OutputStopped& failed) {
        return failed.status;
    } catch (const StoppedBySignal& stopped) {
        return ReportStopped(stopped);
    } catch (const runtime::RuntimeError& error) {
        WriteError(ErrorMessage(error.what()));
        return kSizesFailed;
    }
}

}  // namespace quorvale::app
