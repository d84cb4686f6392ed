#include "app/verify_command.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>

#include "app/progress_line.h"
#include "app/signal_catcher.h"
#include "app/standard_streams.h"
#include "catalogue/drive_now.h"
#include "catalogue/listing_hashes.h"
#include "reading/content_readers.h"
#include "runtime/path_join.h"
#include "runtime/runtime_error.h"
#include "runtime/unique_fd.h"

namespace quorvale::app {

namespace {

using reading::HashedFile;

// One verification: the readers beneath the folder the files are read from, and what was found.
class Verification {
  public:
    explicit Verification(const VerifyRequest& request) : request_(request) {}

    int Run() {
        catalogue::KeptListing listing(request_.listing, "verify");
        const std::unique_ptr<catalogue::KeptHashes> hashes =
            catalogue::OpenHashes(listing, "verify");
        algorithm_ = hashes->Algorithm();
        record_ = &listing.Record();
        total_ = hashes->Rows();
        catalogue::ForEachHashedEntry(
            listing, *hashes, [this](const catalogue::HashedEntry& hashed) { Ask(hashed); },
            [this] { Check(); });
        if (readers_) readers_->Finish(Taker(), [this] { Check(); });
        if (progress_) Say("\r\033[K");
        if (!listing.Unchanged()) throw catalogue::ListingChanged("verify", request_.listing);
        return failed_ ? kVerifyFailed : found_ ? kVerifyFoundChanges : kVerifiedIntact;
    }

  private:
    struct Expected {
        std::string shown;  // the path as listed
        std::string hash;
    };

    // The folder the files are read beneath, from the first file's folder as listed.
    void OpenRoot(const catalogue::KeptEntry& entry) {
        std::string_view listed = entry.folderPath;
        listed.remove_suffix(std::min(listed.size(), entry.relative.size()));
        while (listed.size() > 1 && listed.ends_with('/')) listed.remove_suffix(1);
        std::string why;
        std::string root = request_.root;
        if (root.empty()) {
            root = catalogue::FolderNow(std::string(listed), *record_, why);
            if (root.empty()) {
                throw runtime::RuntimeError(
                    runtime::PathNotFound,
                    "Cannot verify \"" + request_.listing + "\": the drive \"" +
                        catalogue::DriveName(*record_) + "\" is not mounted where it was listed (" +
                        std::string(listed) + ") nor found elsewhere; connect it, or give --root");
            }
        }
        rootFd_ = runtime::UniqueFd(
            ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
        if (!rootFd_) throw runtime::ErrorFromErrno(errno, "Cannot verify below", root);
        readers_ = std::make_unique<reading::ContentReaders>(
            rootFd_.Get(), reading::ContentReaders::SetupFor(rootFd_.Get(), algorithm_,
                                                             reading::HashCheck::kSameContent,
                                                             reading::ReadOrder::kAsTheDiskWants));
    }

    void Ask(const catalogue::HashedEntry& hashed) {
        if (!readers_) OpenRoot(hashed.entry);
        const std::string shown = runtime::JoinPath(hashed.entry.folderPath, hashed.entry.name);
        if (!hashed.relative) {
            Fail(shown, "its name cannot be told from the listing (a line break or its sign)");
            return;
        }
        reading::FileToHash file;
        file.entry = hashed.row.entry;
        file.path = *hashed.relative;
        file.nameAt = file.path.rfind('/') == std::string::npos ? 0 : file.path.rfind('/') + 1;
        file.listed.type = 'f';
        file.listed.size = hashed.row.size;
        file.listed.modifiedNs = hashed.row.modified;
        expected_.push_back({shown, hashed.row.hash});
        readers_->Ask(std::move(file), Taker(), [this] { Check(); });
    }

    reading::ContentReaders::Take Taker() {
        return [this](reading::FileToHash& file, HashedFile& result) { Take(file, result); };
    }

    void Take(const reading::FileToHash& file, const HashedFile& result) {
        const Expected expected = std::move(expected_.front());
        expected_.pop_front();
        ++done_;
        switch (result.outcome) {
            case HashedFile::Outcome::kHashed:
                if (result.hash != expected.hash) Found("!", expected.shown);
                return;
            case HashedFile::Outcome::kChanged: {
                std::string letters;
                if (result.found.size != file.listed.size) letters += 's';
                if (result.found.modifiedNs != file.listed.modifiedNs) letters += 'm';
                if (letters.empty()) return Fail(expected.shown, "it changed while it was read");
                return Found("~" + letters, expected.shown);
            }
            case HashedFile::Outcome::kNotRegular:
                return Found("~t", expected.shown);
            case HashedFile::Outcome::kGone:
                return Found("-", expected.shown);
            case HashedFile::Outcome::kFailed:
                return Fail(expected.shown, result.why);
        }
    }

    void Found(const std::string& sign, const std::string& path) {
        found_ = true;
        ClearProgress();
        WriteOutputOrStop(sign + "\t" + path + "\n");
    }

    void Fail(const std::string& path, const std::string& why) {
        failed_ = true;
        ClearProgress();
        Say(ErrorMessage("cannot verify \"" + path + "\": " + why));
    }

    void Say(const std::string& text) {
        if (WriteError(text) == EPIPE) throw OutputStopped{141};
    }

    void ClearProgress() {
        if (progress_) Say("\r\033[K");
    }

    void Check() {
        StopIfSignalled();
        if (!progress_ || !readers_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastProgress_ < std::chrono::milliseconds(250)) return;
        lastProgress_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        Say("\r\033[K" + HashProgressLine(done_, total_, readers_->BytesRead(), 0, seconds,
                                          TerminalColumns(STDERR_FILENO)));
    }

    const VerifyRequest& request_;
    const catalogue::ListingRecord* record_ = nullptr;
    reading::HashAlgorithm algorithm_ = reading::HashAlgorithm::kNone;
    runtime::UniqueFd rootFd_;
    std::unique_ptr<reading::ContentReaders> readers_;
    std::deque<Expected> expected_;  // of the files asked, in the order asked
    std::uint64_t done_ = 0;
    std::uint64_t total_ = 0;
    bool found_ = false;
    bool failed_ = false;
    const bool progress_ = ::isatty(STDERR_FILENO) == 1;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastProgress_ = start_;
};

}  // namespace

int RunVerify(const VerifyRequest& request) {
    try {
        Verification verification(request);
        return verification.Run();
    } catch (const OutputStopped& failed) {
        return failed.status;
    } catch (const StoppedBySignal& stopped) {
        return ReportStopped(stopped);
    } catch (const runtime::RuntimeError& error) {
        WriteError(ErrorMessage(error.what()));
        return kVerifyFailed;
    }
}

}  // namespace quorvale::app
