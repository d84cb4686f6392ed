#include "save/listing_save.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include "catalogue/earlier_listing.h"
#include "catalogue/listing_record.h"
#include "listing/list_file_name.h"
#include "runtime/file_system_facts.h"
#include "runtime/thread_start.h"
#include "runtime/unique_fd.h"
#include "runtime/utc_time.h"
#include "save/index_of_lines.h"

namespace quorvale::save {

namespace {

// How often a thread that waits for the index and the record to be made durable is let catch up.
constexpr int kWaitSliceMs = 10;

// The list and details files in the list folder that are not this Save's, in the order of their
// numbers.
std::vector<std::string> NotOfThisListing(const runtime::FolderLock& lock,
                                          const catalogue::ListingRecord& record) {
    const auto isOurs = [&record](int number) {
        return number >= record.firstListFile && number <= record.lastListFile;
    };
    std::vector<std::string> names;
    for (const std::string& name : lock.EntryNames()) {
        const int listed = listing::ListFileNumberOf(name);
        const int detailed = listing::DetailsFileNumberOf(name);
        if ((listed != 0 && !isOurs(listed)) ||
            (detailed != 0 && (!record.options.details || !isOurs(detailed)))) {
            names.push_back(name);
        }
    }
    const auto numberOf = [](const std::string& name) {
        return std::max(listing::ListFileNumberOf(name), listing::DetailsFileNumberOf(name));
    };
    std::sort(names.begin(), names.end(), [&numberOf](const std::string& a, const std::string& b) {
        return std::pair(numberOf(a), a) < std::pair(numberOf(b), b);
    });
    return names;
}

catalogue::ListingRecord RecordOf(const listing::ListingCore& core, const runtime::FolderLock& lock,
                                  const listing::SaveSummary& summary) {
    catalogue::ListingRecord record;
    record.version = QUORVALE_VERSION;
    record.root = summary.root;
    record.started = runtime::UtcTime(summary.started);
    record.ended = runtime::UtcTime(summary.ended);
    record.host = runtime::HostName();
    // The root the walk read, not whatever its path names by now.
    if (summary.rootFileSystem) record.fileSystem = *summary.rootFileSystem;
    record.firstListFile = summary.firstListFile;
    record.lastListFile = summary.lastListFile;
    record.lines = summary.lines;
    record.linesWithTheSign = summary.linesWithTheSign;
    for (int number = record.firstListFile; number <= record.lastListFile; ++number) {
        struct stat st {};
        if (::fstatat(lock.Handle(), listing::ListFileName(number).c_str(), &st,
                      AT_SYMLINK_NOFOLLOW) == 0) {
            record.bytes += static_cast<std::uint64_t>(st.st_size);
        }
    }
    record.complete = core.DeniedCount() == 0 && core.IncompleteCount() == 0;
    record.deniedCount = core.DeniedCount();
    record.denied = core.DeniedFolders();
    record.incompleteCount = core.IncompleteCount();
    record.incomplete = core.IncompleteFolders();
    record.fileSystemOwn = core.FileSystemOwnFolders();
    record.notEntered = core.NotEnteredFolders();
    record.options = core.Options();
    record.user = catalogue::CurrentUser();
    record.notOfThisListing = NotOfThisListing(lock, record);
    return record;
}

// A Save must never write into the listing it reuses: its record and index would be replaced
// while the walk reads them.
void RefuseToWriteInto(const runtime::FolderLock& lock, const Reuse& reuse) {
    struct stat st {};
    if (reuse.listing.empty() || ::fstat(lock.Handle(), &st) != 0) return;
    if (static_cast<std::uint64_t>(st.st_dev) == reuse.device &&
        static_cast<std::uint64_t>(st.st_ino) == reuse.inode) {
        throw runtime::RuntimeError(
            runtime::InvalidProcedureCall,
            "Cannot reuse \"" + reuse.listing + "\": it is the list folder this Save writes");
    }
}

// Runs `work` on a thread of its own, calling `wait` (when there is one) every few milliseconds
// meanwhile, and throws what `work` threw once it has ended. Should `wait` throw (the program
// ends), `work` is still waited for, so that no file is left half written, and then that is thrown.
void RunBeside(const std::function<void()>& wait, const std::function<void()>& work) {
    if (!wait) {
        work();
        return;
    }
    std::packaged_task<void()> task(work);
    std::future<void> done = task.get_future();
    std::optional<std::thread> thread = runtime::StartThread([&task] { task(); });
    if (!thread) {  // no thread to be had: the caller's own does it
        work();
        return;
    }
    std::exception_ptr ended;
    while (done.wait_for(std::chrono::milliseconds(kWaitSliceMs)) != std::future_status::ready) {
        if (ended) continue;
        try {
            wait();
        } catch (...) {
            ended = std::current_exception();
        }
    }
    thread->join();
    done.get();
    if (ended) std::rethrow_exception(ended);
}

}  // namespace

bool SaveListing(listing::ListingCore& core, runtime::RuntimeServices& runtime,
                 const std::string& root, const Reuse& reuse, const Hashing& hashing) {
    listing::SaveSteps steps;
    IndexOfLines index(core.WaitHook());
    std::optional<HashesOfLines> hashes;
    if (hashing.algorithm != reading::HashAlgorithm::kNone) {
        hashes.emplace(hashing, core.WaitHook());
        steps.entryLine = [&hashes](std::uint64_t number, std::string_view line,
                                    const listing::LineDetails& noted) {
            hashes->Line(number, line, noted);
        };
    }
    steps.beforeWalk = [&core, &reuse, &index, &hashes](runtime::FolderLock& lock) {
        RefuseToWriteInto(lock, reuse);
        lock.MoveAside(std::string(listing::kRecordName),
                       std::string(listing::kPreviousRecordName));
        lock.MoveAside(std::string(listing::kIndexName), std::string(listing::kPreviousIndexName));
        lock.MoveAside(std::string(listing::kHashesByEntryName),
                       std::string(listing::kPreviousHashesByEntryName));
        lock.MoveAside(std::string(listing::kHashesBySizeName),
                       std::string(listing::kPreviousHashesBySizeName));
        lock.MoveAside(std::string(listing::kSizesName), std::string(listing::kPreviousSizesName));
        index.KeepIn(lock.OpenScratchFile());
        if (reuse.index != nullptr) index.Follow(*reuse.index);
        if (core.Options().details) index.KeepSizesIn(lock.OpenScratchFile());
        if (hashes) hashes->KeepIn(lock.OpenScratchFile(), lock.OpenScratchFile());
    };
    steps.listLine = [&index](std::string_view line, const listing::LineDetails& noted) {
        index.Line(line, noted);
    };
    steps.folderCutShort = [&index](std::uint64_t folder) { index.CutShort(folder); };
    steps.afterWalk = [&core, &runtime, &index, &reuse, &hashes](
                          const runtime::FolderLock& lock, const listing::SaveSummary& summary) {
        catalogue::ListingRecord record = RecordOf(core, lock, summary);
        // The last files are hashed while this thread waits, so that a signal stops them at once.
        if (hashes) hashes->WaitForReaders();
        // Making the index and the record durable may wait on the disk for long: the caller's
        // thread (the window's) keeps answering meanwhile.
        RunBeside(core.WaitHook(), [&runtime, &lock, &index, &record, &reuse, &hashes] {
            std::unique_ptr<runtime::TextOutput> indexOut =
                runtime.OpenForOutput(lock, std::string(listing::kIndexName));
            record.indexSave = catalogue::NewSaveIdentity();
            record.indexBytes = index.Finish(record, *indexOut);
            indexOut->Close();
            record.indexName = listing::kIndexName;
            if (index.MakesSizes()) {
                std::unique_ptr<runtime::TextOutput> sizesOut =
                    runtime.OpenForOutput(lock, std::string(listing::kSizesName));
                record.sizesBytes = index.FinishSizes(record, *sizesOut);
                sizesOut->Close();
                record.sizesName = listing::kSizesName;
            }
            if (hashes) {
                std::unique_ptr<runtime::TextOutput> byEntry =
                    runtime.OpenForOutput(lock, std::string(listing::kHashesByEntryName));
                std::unique_ptr<runtime::TextOutput> bySize =
                    runtime.OpenForOutput(lock, std::string(listing::kHashesBySizeName));
                hashes->Finish(record, *byEntry, *bySize);
                byEntry->Close();
                bySize->Close();
            }
            if (!reuse.listing.empty()) {
                record.reuse = {reuse.listing, index.FoldersReused(), index.FoldersRead()};
            }
            std::unique_ptr<runtime::TextOutput> out =
                runtime.OpenForOutput(lock, std::string(listing::kRecordName));
            std::string text = catalogue::RecordText(record);
            text.pop_back();  // the output ends each line itself
            out->PrintLine(text);
            out->Close();
        });
    };
    return core.SaveListing(root, steps);
}

}  // namespace quorvale::save
