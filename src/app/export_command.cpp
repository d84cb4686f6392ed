#include "app/export_command.h"

#include <string_view>

#include "app/signal_catcher.h"
#include "app/standard_streams.h"
#include "catalogue/kept_listing.h"
#include "catalogue/listing_export.h"
#include "runtime/runtime_error.h"

namespace quorvale::app {

namespace {

// Thrown through the export when stdout fails: the status to end with.
struct OutputFailed {
    int status;
};

}  // namespace

int RunExport(const ExportCommand& command) {
    const std::optional<catalogue::ExportFormat> format =
        catalogue::ExportFormatNamed(command.format);
    if (!format) {
        WriteError(ErrorMessage("cannot export \"" + command.listing + "\": '" + command.format +
                                "' is not a format (paths, csv, ncdu)"));
        return kExportFailed;
    }
    catalogue::ExportRequest request{*format, command.nulls, "quorvale", QUORVALE_VERSION};
    try {
        if (command.nulls) {
            const std::string notice = catalogue::LineBreakSignNotice(
                command.listing, catalogue::KeptListing(command.listing, "export").Record());
            if (!notice.empty()) WriteError(ErrorMessage(notice));
        }
        catalogue::ExportListing(
            command.listing, request,
            [](std::string_view text) {
                if (const int status = WriteOutput(text); status != 0) throw OutputFailed{status};
            },
            StopIfSignalled);
        return kExported;
    } catch (const OutputFailed& failed) {
        return failed.status;
    } catch (const StoppedBySignal& stopped) {
        return ReportStopped(stopped);
    } catch (const runtime::RuntimeError& error) {
        WriteError(ErrorMessage(error.what()));
        return kExportFailed;
    }
}

}  // namespace quorvale::app
