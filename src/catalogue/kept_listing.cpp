#include "catalogue/kept_listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <tuple>
#include <utility>

#include "listing/details_line.h"
#include "listing/list_file_name.h"
#include "runtime/path_join.h"
#include "runtime/runtime_error.h"
#include "runtime/unique_fd.h"

namespace quorvale::catalogue {

using runtime::RuntimeError;
using runtime::UniqueFd;

ListingChanged::ListingChanged(std::string_view action, const std::string& folder)
    : RuntimeError(runtime::InvalidProcedureCall,
                   "Cannot " + std::string(action) + " \"" + folder +
                       "\": a Save replaced its listing while it was read") {}

namespace {

constexpr std::size_t kReadBlock = 1 << 16;
constexpr off_t kMostRecordBytes = 16 << 20;

// `context` says what could not be done with which folder: Cannot compare "/backup/list".
RuntimeError Unusable(const std::string& context, const std::string& why) {
    return RuntimeError(runtime::InvalidProcedureCall, context + ": " + why);
}

// Opens the file `name` of the list folder for reading: a regular file only, never through a link,
// and never waiting on the open (a fifo or a device put in its place is refused, not read).
// Returns no handle, with errno set, when there is no such file; else the file's handle, its
// status in `st`.
UniqueFd OpenRegularFile(int folder, const std::string& context, const std::string& name,
                         struct stat& st) {
    UniqueFd fd(::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        if (errno == ELOOP) throw Unusable(context, name + " is a link, not a file");
        return fd;
    }
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw Unusable(context, name + " is not a regular file");
    }
    return fd;
}

// The files of a listing as they were when they were opened, to tell at the end whether a Save
// replaced any of them meanwhile (a Save takes a lock, a reader none: it never holds up a Save).
class FileIdentities {
  public:
    // The file `name`, opened with the status `st`.
    void Note(std::string name, const struct stat& st) {
        files_.push_back({std::move(name), Identity(st)});
    }
    // Whether every file noted is still the one its name gives in `folder`.
    bool Unchanged(int folder) const {
        for (const auto& [name, identity] : files_) {
            struct stat st {};
            if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                Identity(st) != identity) {
                return false;
            }
        }
        return true;
    }

  private:
    using Id = std::tuple<dev_t, ino_t, off_t, std::int64_t, long>;
    static Id Identity(const struct stat& st) {
        return {st.st_dev, st.st_ino, st.st_size, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
    }
    std::vector<std::pair<std::string, Id>> files_;
};

// A file of the list folder, opened for reading as OpenRegularFile opens it; closed with the
// object.
class ReadFile {
  public:
    ReadFile(int folder, const std::string& context, const std::string& name)
        : fd_(OpenRegularFile(folder, context, name, st_)) {}
    int Fd() const { return fd_.Get(); }
    // Its status when it was opened.
    const struct stat& Status() const { return st_; }

  private:
    struct stat st_ {};
    UniqueFd fd_;
};

// The lines of a listing's numbered files ("ListTex<n>.txt" or ".tsv"), read a block at a time,
// one file after the other.
class NumberedLines {
  public:
    NumberedLines(int folderFd, std::string folder, std::string context, std::string (*name)(int),
                  int first, int last, FileIdentities& opened)
        : folderFd_(folderFd),
          folder_(std::move(folder)),
          context_(std::move(context)),
          name_(name),
          number_(first),
          last_(last),
          opened_(opened) {}
    NumberedLines(const NumberedLines&) = delete;
    NumberedLines& operator=(const NumberedLines&) = delete;

    // The next line without its CR LF; false at the end of the last file. A line longer than a
    // Save writes is refused; each byte is looked at once.
    bool Next(std::string_view& line) {
        if (!started_) Start();
        for (;;) {
            const std::size_t end = block_.find("\r\n", scanned_);
            if (end != std::string::npos) {
                line = std::string_view(block_).substr(at_, end - at_);
                at_ = end + 2;
                scanned_ = at_;
                ++lineNumber_;
                return true;
            }
            block_.erase(0, at_);
            // A CR at the end may begin the CR LF the next block ends.
            scanned_ = block_.empty() ? 0 : block_.size() - 1;
            at_ = 0;
            if (block_.size() > listing::kMaxLineBytes + 1) {
                throw Unusable(context_, "line " + std::to_string(lineNumber_ + 1) + " of " +
                                             name_(number_ - 1) +
                                             " is longer than a Save writes (" +
                                             std::to_string(listing::kMaxLineBytes) + " bytes)");
            }
            if (!fd_) return false;
            const std::size_t had = block_.size();
            block_.resize(had + kReadBlock);
            const ssize_t n = ::read(fd_.Get(), block_.data() + had, kReadBlock);
            if (n < 0 && errno == EINTR) {
                block_.resize(had);
                continue;
            }
            if (n < 0) {
                const int err = errno;
                throw runtime::ErrorFromErrno(err, "Cannot read", Path());
            }
            block_.resize(had + static_cast<std::size_t>(n));
            if (n == 0 && !OpenNextFile() && !block_.empty()) {
                throw Unusable(context_, "its last list file does not end with a whole line");
            }
        }
    }

  private:
    std::string Path() const { return runtime::JoinPath(folder_, name_(number_ - 1)); }

    // The first file opened when the first line is asked for: a search by the index never is.
    void Start() {
        started_ = true;
        // Room for the longest line and a block beside it, taken once: the pages are only
        // memory once bytes are read into them, and a long line is never copied as it grows.
        block_.reserve(listing::kMaxLineBytes + 2 * kReadBlock);
        OpenNextFile();
    }

    bool OpenNextFile() {
        fd_.Reset();
        if (number_ == 0 || number_ > last_) return false;
        struct stat st {};
        fd_ = OpenRegularFile(folderFd_, context_, name_(number_), st);
        const int err = errno;
        ++number_;
        lineNumber_ = 0;
        if (!fd_) throw runtime::ErrorFromErrno(err, "Cannot open", Path());
        opened_.Note(name_(number_ - 1), st);
        return true;
    }

    int folderFd_;
    std::string folder_;
    std::string context_;
    std::string (*name_)(int);
    int number_;
    int last_;
    FileIdentities& opened_;
    UniqueFd fd_;
    std::string block_;
    std::size_t at_ = 0;          // where the next line begins in block_
    std::size_t scanned_ = 0;     // where the search for its CR LF goes on
    std::size_t lineNumber_ = 0;  // of the last line taken, in the file being read
    bool started_ = false;
};

}  // namespace

std::optional<KeptEntry> ListingLines::Take(std::string_view line, std::string_view details) {
    if (++count_ == 1) return std::nullopt;  // the root as chosen
    if (line.starts_with("\t\t")) {
        if (!inFolder_) return std::nullopt;  // a file before the first folder line
        return KeptEntry{true, relative_, line.substr(2), folderPath_, details, count_ - 1};
    }
    if (line.starts_with('\t')) {
        folderPath_.assign(line.substr(1));
        if (!inFolder_) base_ = folderPath_;
        inFolder_ = true;
        relative_ = Relative();  // once a folder, for its files too
        return KeptEntry{false, relative_, {}, folderPath_, details, count_ - 1};
    }
    return std::nullopt;  // a denial line
}

std::string_view ListingLines::Relative() const {
    std::string_view path = folderPath_;
    if (!path.starts_with(base_)) return path;
    path.remove_prefix(base_.size());
    while (path.starts_with('/')) path.remove_prefix(1);
    return path;
}

// A listing's lines as entries, read a block at a time across its list files.
class KeptListing::Reader {
  public:
    Reader(const std::string& folder, std::string_view action, bool mayTakeTheEarlier)
        : folder_(folder),
          context_("Cannot " + std::string(action) + " \"" + folder + "\""),
          mayTakeTheEarlier_(mayTakeTheEarlier) {
        folderFd_.Reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!folderFd_) {
            // Said as what could not be done with it: "Cannot reuse "OLD": No such file or ...".
            const int err = errno;
            throw RuntimeError(runtime::ErrorNumberFromErrno(err),
                               context_ + ": " + runtime::SystemReason(err));
        }
        ReadRecordHere();
        if (!beforeASave_) StartReading();
    }
    // The file `name` of the list folder, opened as a list file is (a regular file only) and
    // noted with them; no handle when there is none.
    UniqueFd OpenFile(const std::string& name, std::uint64_t& size) {
        struct stat st {};
        UniqueFd fd = OpenRegularFile(folderFd_.Get(), context_, name, st);
        if (fd) opened_.Note(name, st);
        size = static_cast<std::uint64_t>(st.st_size);
        return fd;
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    UniqueFd OpenIndex(std::uint64_t& size) {
        if (!beforeASave_) return OpenFile(record_.indexName, size);
        return OpenFile(std::string(listing::kPreviousIndexName), size);
    }
    UniqueFd OpenSizes(std::uint64_t& size) {
        if (!beforeASave_) return OpenFile(record_.sizesName, size);
        return OpenFile(std::string(listing::kPreviousSizesName), size);
    }
    bool BeforeASave() const { return beforeASave_; }

    const ListingRecord& Record() const { return record_; }
    bool HasDetails() const { return record_.options.details; }
    // Whether every file read so far is still the one its name gives: no Save replaced any.
    bool Unchanged() const { return opened_.Unchanged(folderFd_.Get()); }
    const std::string& FolderPath() const { return folder_; }
    std::pair<std::uint64_t, std::uint64_t> FolderIdentity() const {
        struct stat st {};
        if (::fstat(folderFd_.Get(), &st) != 0) return {0, 0};
        return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    }
    // Reads the details files beside the list files from the start.
    void ReadDetails() {
        if (beforeASave_) throw SaveNotFinished();
        details_.emplace(folderFd_.Get(), folder_, context_, &listing::DetailsFileName,
                         record_.firstListFile, record_.lastListFile, opened_);
    }

    // The next entry, or nullopt at the listing's end (which must be where its record says).
    std::optional<KeptEntry> Next() {
        if (beforeASave_) throw SaveNotFinished();
        for (;;) {
            std::string_view line;
            if (!lines_->Next(line)) {
                CheckEnd();
                return std::nullopt;
            }
            const std::string_view details = DetailsOfLine();
            if (std::optional<KeptEntry> entry = meaning_.Take(line, details)) return entry;
        }
    }

  private:
    void StartReading() {
        CheckListFiles();
        lines_.emplace(folderFd_.Get(), folder_, context_, &listing::ListFileName,
                       record_.firstListFile, record_.lastListFile, opened_);
    }

    // At the end of the list files: the record's count and the details files must end there too.
    void CheckEnd() {
        if (meaning_.Count() != record_.lines) {
            throw Unusable(context_, "its list files hold " + std::to_string(meaning_.Count()) +
                                         " lines, and its record says " +
                                         std::to_string(record_.lines));
        }
        std::string_view more;
        if (details_ && details_->Next(more)) {
            throw Unusable(context_, "its details files hold more lines than its list files");
        }
    }

    // The fields of the details line beside the list line just read ("" without details).
    std::string_view DetailsOfLine() {
        std::string_view details;
        if (!details_) return details;
        if (!details_->Next(details)) {
            throw Unusable(context_, "its details files hold fewer lines than its list files");
        }
        return details.substr(0, listing::DetailsFieldsEnd(details));
    }

    RuntimeError SaveNotFinished() const {
        return Unusable(context_,
                        "a Save of it began and has not finished (its list files may be half "
                        "replaced); try again once a Save of it has finished");
    }

    // The record, or (see KeptListing) the one a Save that has not finished moved aside.
    void ReadRecordHere() {
        std::string name(listing::kRecordName);
        ReadFile file(folderFd_.Get(), context_, name);
        if (file.Fd() < 0) {
            std::string earlier(listing::kPreviousRecordName);
            ReadFile moved(folderFd_.Get(), context_, earlier);
            if (moved.Fd() >= 0 && !mayTakeTheEarlier_) throw SaveNotFinished();
            if (moved.Fd() >= 0) {
                beforeASave_ = true;
                name = std::move(earlier);
                file = std::move(moved);
            }
        }
        if (file.Fd() >= 0) opened_.Note(name, file.Status());
        const struct stat& st = file.Status();
        if (file.Fd() < 0) {
            throw Unusable(context_, "it holds no " + std::string(listing::kRecordName) +
                                         " (a Save of this version writes one)");
        }
        if (st.st_size > kMostRecordBytes) throw Unusable(context_, "its record is too large");
        std::string text(static_cast<std::size_t>(st.st_size), '\0');
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::read(file.Fd(), text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw Unusable(context_, "its record cannot be read");
            done += static_cast<std::size_t>(n);
        }
        std::string why;
        std::optional<ListingRecord> record = ReadRecord(text, why);
        if (!record) throw Unusable(context_, std::string(listing::kRecordName) + ": " + why);
        record_ = std::move(*record);
    }

    // Every list file the record names is there, and together they are as long as it says.
    void CheckListFiles() {
        std::uint64_t bytes = 0;
        for (int number = record_.firstListFile; number <= record_.lastListFile; ++number) {
            struct stat st {};
            if (::fstatat(folderFd_.Get(), listing::ListFileName(number).c_str(), &st,
                          AT_SYMLINK_NOFOLLOW) != 0) {
                throw Unusable(context_,
                               listing::ListFileName(number) + " of its listing is missing");
            }
            if (S_ISLNK(st.st_mode)) {
                throw Unusable(context_, listing::ListFileName(number) + " is a link, not a file");
            }
            if (!S_ISREG(st.st_mode)) {
                throw Unusable(context_, listing::ListFileName(number) + " is not a regular file");
            }
            bytes += static_cast<std::uint64_t>(st.st_size);
        }
        if (bytes != record_.bytes) {
            throw Unusable(context_, "its list files are not the ones its record describes (" +
                                         std::to_string(bytes) + " bytes, the record says " +
                                         std::to_string(record_.bytes) + ")");
        }
    }

    std::string folder_;
    std::string context_;  // what the messages say could not be done with the folder
    bool mayTakeTheEarlier_ = false;
    bool beforeASave_ = false;  // the listing before a Save of the folder began
    UniqueFd folderFd_;         // declared before what reads through it, so it closes after them
    ListingRecord record_;
    FileIdentities opened_;  // the record and every list and details file read so far
    std::optional<NumberedLines> lines_;
    std::optional<NumberedLines> details_;
    ListingLines meaning_;
};

KeptListing::KeptListing(const std::string& folder, std::string_view action, bool mayTakeTheEarlier)
    : reader_(std::make_unique<Reader>(folder, action, mayTakeTheEarlier)) {}
KeptListing::~KeptListing() = default;
runtime::UniqueFd KeptListing::OpenFile(const std::string& name, std::uint64_t& size) {
    return reader_->OpenFile(name, size);
}
runtime::UniqueFd KeptListing::OpenIndex(std::uint64_t& size) {
    return reader_->OpenIndex(size);
}
runtime::UniqueFd KeptListing::OpenSizes(std::uint64_t& size) {
    return reader_->OpenSizes(size);
}
bool KeptListing::BeforeASave() const {
    return reader_->BeforeASave();
}
const ListingRecord& KeptListing::Record() const {
    return reader_->Record();
}
bool KeptListing::HasDetails() const {
    return reader_->HasDetails();
}
bool KeptListing::Unchanged() const {
    return reader_->Unchanged();
}
std::pair<std::uint64_t, std::uint64_t> KeptListing::FolderIdentity() const {
    return reader_->FolderIdentity();
}
const std::string& KeptListing::FolderPath() const {
    return reader_->FolderPath();
}
void KeptListing::ReadDetails() {
    reader_->ReadDetails();
}
std::optional<KeptEntry> KeptListing::Next() {
    return reader_->Next();
}

}  // namespace quorvale::catalogue
