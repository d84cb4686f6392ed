#include "app/export_command.h"

#include <string_view>

#include "app/signal_catcher.h"
#include "app/standard_streams.h"
#include "catalogue/kept_listing.h"
#include "catalogue/listing_export.h"
#include "catalogue/listing_hashes.h"
#include "runtime/runtime_error.h"

namespace quorvale::app {

int RunExport(const ExportCommand& command) {
    const bool sums = command.format == "sums";
    const std::optional<catalogue::ExportFormat> format =
        catalogue::ExportFormatNamed(command.format);
    if (!format && !sums) {
        WriteError(ErrorMessage("cannot export \"" + command.listing + "\": '" + command.format +
                                "' is not a format (paths, csv, ncdu, qdirstat, sums)"));
        return kExportFailed;
    }
    const auto write = [](std::string_view text) { WriteOutputOrStop(text); };
    try {
        if (sums) {
            catalogue::ExportSums(
                command.listing, write,
                [](const std::string& path) {
                    WriteError(ErrorMessage("left out \"" + path +
                                            "\": its name holds a line break or a backslash, "
                                            "which xxhsum -c cannot read"));
                },
                StopIfSignalled);
            return kExported;
        }
        if (command.nulls) {
            const std::string notice = catalogue::LineBreakSignNotice(
                command.listing, catalogue::KeptListing(command.listing, "export").Record());
            if (!notice.empty()) WriteError(ErrorMessage(notice));
        }
        const catalogue::ExportRequest request{*format, command.nulls, "quorvale",
                                               QUORVALE_VERSION};
        catalogue::ExportListing(command.listing, request, write, StopIfSignalled);
        return kExported;
    } catch (const OutputStopped& failed) {
        return failed.status;
    } catch (const StoppedBySignal& stopped) {
        return ReportStopped(stopped);
    } catch (const runtime::RuntimeError& error) {
        WriteError(ErrorMessage(error.what()));
        return kExportFailed;
    }
}

}  // namespace quorvale::app
