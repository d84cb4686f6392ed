#include "app/headless_save.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/progress_line.h"
#include "app/signal_catcher.h"
#include "app/standard_streams.h"
#include "catalogue/earlier_listing.h"
#include "listing/list_file_name.h"
#include "listing/listing_buffer.h"
#include "listing/listing_core.h"
#include "reading/posix_file_system.h"
#include "runtime/file_system_facts.h"
#include "runtime/folder_path.h"
#include "runtime/process_memory.h"
#include "runtime/unique_fd.h"
#include "save/listing_save.h"

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
                    const reading::ListingOptions& options, const ReuseChoice& reuse) {
    runtime::KeepFreedMemoryUntilExit();  // the process ends with the Save
    reading::PosixFileSystem fileSystem;
    return RunHeadlessSave(folder, runtime, fileSystem, options, reuse);
}

namespace {

// One Save without a window: what it says on stderr (failures, the progress line on a terminal),
// when it stops (a signal, a reader of stderr gone), and the status it ends with.
class ScriptSave {
  public:
    ScriptSave(runtime::RuntimeServices& runtime, reading::FileSystem& fileSystem,
               const reading::ListingOptions& options)
        : runtime_(runtime), fileSystem_(fileSystem), core_(buffer_, fileSystem, runtime) {
        core_.SetOptions(options);
        core_.SetYield([this] { Check(); });
        fileSystem_.SetWaitHook([this] { Check(); });
        core_.SetFailureReport([this](const std::string& path, const runtime::RuntimeError& error) {
            if (error.Number() == runtime::PermissionDenied) denied_ = true;
            Say(ClearProgress() + ErrorMessage(path + ": " + error.what()));
        });
    }
    // The file system may outlive this Save; the hook, which refers to it, does not.
    ~ScriptSave() { fileSystem_.SetWaitHook({}); }
    ScriptSave(const ScriptSave&) = delete;
    ScriptSave& operator=(const ScriptSave&) = delete;

    int Run(const std::string& folder, const ReuseChoice& reuse) {
        save::Reuse reused;
        std::unique_ptr<catalogue::EarlierListing> earlier;
        if (reuse.listing) {
            earlier = EarlierListingToReuse(folder, reuse);
            if (earlier) {
                // The folder as the listing is read through its handle, not as its path names
                // one now: the Save checks it again through the handle of the folder it locks.
                const auto [device, inode] = earlier->FolderIdentity();
                reused = {*reuse.listing, device, inode, &earlier->Index()};
                if (WritesInto(reused)) {
                    Say(ErrorMessage("Cannot reuse \"" + *reuse.listing +
                                     "\": it is the list folder this Save writes"));
                    return kNotSaved;
                }
            }
        }
        save::Hashing hashing = HashingAsked(earlier.get());
        // The file system may outlive this Save; the earlier listing does not.
        struct EarlierScope {
            reading::FileSystem& fileSystem;
            ~EarlierScope() { fileSystem.SetEarlierReading(nullptr); }
        } earlierScope{fileSystem_};
        fileSystem_.SetEarlierReading(earlier.get());
        try {
            save::SaveListing(core_, runtime_, folder, reused, hashing);
        } catch (const Stopped& stopped) {
            if (stopped.signal != SIGPIPE) {
                Say(ClearProgress() + "quorvale: stopped by signal " +
                    std::to_string(stopped.signal) + "\n");
            }
            return 128 + stopped.signal;
        } catch (const runtime::RuntimeError& error) {
            Say(ClearProgress() + ErrorMessage(error.what()));
            const int written = WriteOutput(std::string(listing::kNotSavedStatus) + "\n");
            return written != 0 && written != kNotSaved ? written : kNotSaved;
        }
        if (readerGone_) return 128 + SIGPIPE;
        if (progress_) Say(ClearProgress());
        const int written = WriteOutput(listing::SavedStatus(core_.ListFileNumber() - 1) + "\n");
        if (written != 0) return written;
        return core_.IncompleteCount() != 0 || denied_ || notHashed_ ? kSavedIncomplete
                                                                     : kSavedComplete;
    }

  private:
    // What the Save is asked of hashes: none, or the algorithm, with the earlier listing's hashes
    // to carry over where it has some of the same algorithm.
    save::Hashing HashingAsked(catalogue::EarlierListing* earlier) {
        save::Hashing hashing;
        const reading::ListingOptions& options = core_.Options();
        if (options.hash == reading::HashAlgorithm::kNone) return hashing;
        hashing.algorithm = options.hash;
        hashing.order = options.hashReadOrder;
        hashing.tally = &tally_;
        hashing.notHashed = [this](const std::string& path, const std::string& why) {
            notHashed_ = true;
            Say(ClearProgress() + ErrorMessage("cannot hash \"" + path + "\": " + why));
        };
        const catalogue::ListingRecord* was = earlier != nullptr ? &earlier->Record() : nullptr;
        if (was == nullptr || !was->hashes || was->hashes->algorithm != options.hash) {
            return hashing;  // every file is hashed
        }
        try {
            // Their rows are checked beside the walk's beginning.
            earlierHashes_ = earlier->OpenHashes(catalogue::KeptHashes::RowsCheck::kLater);
            hashing.earlier = earlierHashes_.get();
            hashing.earlierRefused = [this,
                                      folder = earlier->FolderPath()](const std::string& why) {
                Say(ClearProgress() + ErrorMessage("Cannot reuse \"" + folder + "\": " + why +
                                                   "; hashing every file"));
            };
        } catch (const runtime::RuntimeError& error) {
            Say(ErrorMessage(std::string(error.what()) + "; hashing every file"));
            return hashing;
        }
        try {
            earlierHashesBySize_ = earlier->OpenHashesBySize();
            hashing.earlierBySize = earlierHashesBySize_.get();
        } catch (const runtime::RuntimeError&) {
            // Its rows by size are only copied when whole: without them the rows are sorted anew.
        }
        return hashing;
    }

    // Whether the earlier listing lies in the list folder this Save writes into, before anything is
    // written (the Save checks it again through the handle of the folder it locks).
    bool WritesInto(const save::Reuse& reused) {
        struct stat writing {};
        std::string folder;
        try {
            folder = runtime_.ListFileFolder();
        } catch (const runtime::RuntimeError&) {
            return false;  // the Save says why it cannot write there
        }
        return ::stat(folder.c_str(), &writing) == 0 &&
               static_cast<std::uint64_t>(writing.st_dev) == reused.device &&
               static_cast<std::uint64_t>(writing.st_ino) == reused.inode;
    }

    // The earlier listing, when a Save of `folder` may reuse it; otherwise none, and why is said.
    std::unique_ptr<catalogue::EarlierListing> EarlierListingToReuse(const std::string& folder,
                                                                     const ReuseChoice& reuse) {
        const std::string& listing = *reuse.listing;
        std::unique_ptr<catalogue::EarlierListing> earlier;
        std::string why;
        try {
            earlier = std::make_unique<catalogue::EarlierListing>(listing);
        } catch (const runtime::RuntimeError& error) {
            Say(ErrorMessage(std::string(error.what()) + "; reading every folder"));
            return nullptr;
        }
        catalogue::ReuseRequest request;
        try {
            request.root = runtime::AbsoluteFolderPath(folder);
        } catch (const runtime::RuntimeError& error) {
            Say(ErrorMessage(std::string(error.what()) + "; reading every folder"));
            return nullptr;
        }
        request.options = core_.Options();
        request.user = catalogue::CurrentUser();
        request.trustFileSystem = reuse.trustFileSystem;
        const runtime::UniqueFd fd(
            ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
        if (fd) request.fileSystemType = runtime::DescribeFileSystemOf(fd.Get()).type;
        why = catalogue::WhyNotReused(earlier->Record(), request);
        if (why.empty()) return earlier;
        Say("quorvale: cannot reuse \"" + listing + "\": " + why + "; reading every folder\n");
        return nullptr;
    }

    // A reader of stderr that goes away stops the Save as SIGTERM does.
    void Say(const std::string& text) {
        if (WriteError(text) == EPIPE) readerGone_ = true;
    }
    std::string ClearProgress() const { return progress_ ? "\r\033[K" : ""; }

    void Check() {
        if (const int signal = TerminationSignal(); signal != 0) throw Stopped{signal};
        if (readerGone_) throw Stopped{SIGPIPE};
        if (progress_) ShowProgress();
    }

    void ShowProgress() {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastProgress_ < std::chrono::milliseconds(250)) return;
        lastProgress_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        if (tally_.files.load() != 0) {
            Say(ClearProgress() + HashProgressLine(tally_.filesDone.load(), tally_.files.load(),
                                                   tally_.bytesDone.load(), tally_.bytes.load(),
                                                   seconds, TerminalColumns(STDERR_FILENO)));
            return;
        }
        const long files = core_.ListFileNumber() - 1;
        const long lines = files * listing::kFlushThreshold + buffer_.ListCount();
        Say(ClearProgress() + ProgressLine(lines, files, seconds, CurrentFolder(buffer_),
                                           TerminalColumns(STDERR_FILENO)));
    }

    runtime::RuntimeServices& runtime_;
    reading::FileSystem& fileSystem_;
    listing::ListingBuffer buffer_;
    listing::ListingCore core_;
    const bool progress_ = ::isatty(STDERR_FILENO) == 1;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastProgress_ =
        start_ - std::chrono::seconds(1);  // the first line at once
    bool readerGone_ = false;
    bool denied_ = false;
    bool notHashed_ = false;
    save::HashTally tally_;
    std::unique_ptr<catalogue::KeptHashes> earlierHashes_;
    std::unique_ptr<catalogue::HashesBySize> earlierHashesBySize_;
};

}  // namespace

int RunHeadlessSave(const std::string& folder, runtime::RuntimeServices& runtime,
                    reading::FileSystem& fileSystem, const reading::ListingOptions& options,
                    const ReuseChoice& reuse) {
    CatchTerminationSignals();
    // Nothing is written for what is not a folder: the earlier list files stay as they were.
    if (const std::string why = WhyNotAFolder(folder); !why.empty()) {
        WriteError("quorvale: cannot list \"" + folder + "\": " + why + "\n");
        const int status = WriteOutput(std::string(listing::kNotSavedStatus) + "\n");
        return status != 0 ? status : kNotSaved;
    }
    return ScriptSave(runtime, fileSystem, options).Run(folder, reuse);
}

}  // namespace quorvale::app
