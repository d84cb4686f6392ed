#include "catalogue/listing_compare.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>

#include "catalogue/listing_record.h"
#include "listing/list_file_name.h"
#include "listing/listing_core.h"
#include "reading/file_system.h"
#include "runtime/runtime_error.h"

namespace quorvale::catalogue {

using runtime::RuntimeError;

ListingChanged::ListingChanged(const std::string& folder)
    : RuntimeError(
          runtime::InvalidProcedureCall,
          "Cannot compare \"" + folder + "\": a Save replaced its listing while it was read") {}

namespace {

constexpr std::size_t kReadBlock = 1 << 16;
// Entries compared between two calls of the caller's check: a few milliseconds' worth.
constexpr std::size_t kStepsBetweenChecks = 4096;
constexpr off_t kMostRecordBytes = 16 << 20;

RuntimeError Unusable(const std::string& folder, const std::string& why) {
    return RuntimeError(runtime::InvalidProcedureCall, "Cannot compare \"" + folder + "\": " + why);
}

// Opens the file `name` of the list folder for reading: a regular file only, never through a link,
// and never waiting on the open (a fifo or a device put in its place is refused, not read).
// Returns -1 with errno set when there is no such file.
int OpenRegularFile(int folder, const std::string& folderPath, const std::string& name) {
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ELOOP) throw Unusable(folderPath, name + " is a link, not a file");
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw Unusable(folderPath, name + " is not a regular file");
    }
    return fd;
}

// The files of a listing as they were when they were opened, to tell at the end whether a Save
// replaced any of them meanwhile (a Save takes a lock, a reader none: it never holds up a Save).
class FileIdentities {
  public:
    void Note(int fd, std::string name) {
        struct stat st {};
        if (::fstat(fd, &st) == 0) files_.push_back({std::move(name), Identity(st)});
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
    ReadFile(int folder, const std::string& folderPath, const std::string& name)
        : fd_(OpenRegularFile(folder, folderPath, name)) {}
    ~ReadFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    ReadFile(const ReadFile&) = delete;
    ReadFile& operator=(const ReadFile&) = delete;
    int Fd() const { return fd_; }

  private:
    int fd_;
};

// One entry of a listing: a folder (by its folder line) or a file in the folder before it.
struct Entry {
    bool isFile = false;
    std::string_view relative;    // the folder's path under the root ("" for the root)
    std::string_view name;        // a file's name
    std::string_view folderPath;  // the folder's full path as listed
    std::string_view details;     // type, size and time, where the listing has details
};

// The lines of a listing's numbered files ("ListTex<n>.txt" or ".tsv"), read a block at a time,
// one file after the other.
class NumberedLines {
  public:
    NumberedLines(int folderFd, std::string folder, std::string (*name)(int), int first, int last,
                  FileIdentities& opened)
        : folderFd_(folderFd),
          folder_(std::move(folder)),
          name_(name),
          number_(first),
          last_(last),
          opened_(opened) {
        // Room for the longest line and a block beside it, taken once: the pages are only
        // memory once bytes are read into them, and a long line is never copied as it grows.
        block_.reserve(listing::kMaxLineBytes + 2 * kReadBlock);
        OpenNextFile();
    }
    ~NumberedLines() {
        if (fd_ >= 0) ::close(fd_);
    }
    NumberedLines(const NumberedLines&) = delete;
    NumberedLines& operator=(const NumberedLines&) = delete;

    // The next line without its CR LF; false at the end of the last file. A line longer than a
    // Save writes is refused; each byte is looked at once.
    bool Next(std::string_view& line) {
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
                throw Unusable(folder_, "line " + std::to_string(lineNumber_ + 1) + " of " +
                                            name_(number_ - 1) + " is longer than a Save writes (" +
                                            std::to_string(listing::kMaxLineBytes) + " bytes)");
            }
            if (fd_ < 0) return false;
            const std::size_t had = block_.size();
            block_.resize(had + kReadBlock);
            const ssize_t n = ::read(fd_, block_.data() + had, kReadBlock);
            if (n < 0 && errno == EINTR) {
                block_.resize(had);
                continue;
            }
            if (n < 0) throw runtime::ErrorFromErrno(errno, "Cannot read", Path());
            block_.resize(had + static_cast<std::size_t>(n));
            if (n == 0 && !OpenNextFile() && !block_.empty()) {
                throw Unusable(folder_, "its last list file does not end with a whole line");
            }
        }
    }

  private:
    std::string Path() const { return runtime::JoinPath(folder_, name_(number_ - 1)); }

    bool OpenNextFile() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        if (number_ == 0 || number_ > last_) return false;
        fd_ = OpenRegularFile(folderFd_, folder_, name_(number_));
        ++number_;
        lineNumber_ = 0;
        if (fd_ < 0) throw runtime::ErrorFromErrno(errno, "Cannot open", Path());
        opened_.Note(fd_, name_(number_ - 1));
        return true;
    }

    int folderFd_;
    std::string folder_;
    std::string (*name_)(int);
    int number_;
    int last_;
    FileIdentities& opened_;
    int fd_ = -1;
    std::string block_;
    std::size_t at_ = 0;          // where the next line begins in block_
    std::size_t scanned_ = 0;     // where the search for its CR LF goes on
    std::size_t lineNumber_ = 0;  // of the last line taken, in the file being read
};

// A listing's lines as entries, read a block at a time across its list files.
class ListingReader {
  public:
    explicit ListingReader(const std::string& folder) : folder_(folder) {
        folderFd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folderFd_ < 0) throw runtime::ErrorFromErrno(errno, "Cannot open", folder);
        ReadRecordHere();
        CheckListFiles();
        const int last = record_.lastListFile;
        lines_.emplace(folderFd_, folder_, &listing::ListFileName, record_.firstListFile, last,
                       opened_);
    }
    ~ListingReader() {
        lines_.reset();
        details_.reset();
        ::close(folderFd_);
    }
    ListingReader(const ListingReader&) = delete;
    ListingReader& operator=(const ListingReader&) = delete;

    bool HasDetails() const { return record_.options.details; }
    // Whether every file read so far is still the one its name gives: no Save replaced any.
    bool Unchanged() const { return opened_.Unchanged(folderFd_); }
    const std::string& FolderPath() const { return folder_; }
    // Reads the details files beside the list files from the start.
    void ReadDetails() {
        details_.emplace(folderFd_, folder_, &listing::DetailsFileName, record_.firstListFile,
                         record_.lastListFile, opened_);
    }

    // The next entry, or nullopt at the listing's end (which must be where its record says).
    std::optional<Entry> Next() {
        for (;;) {
            std::string_view line;
            if (!lines_->Next(line)) {
                CheckEnd();
                return std::nullopt;
            }
            ++count_;
            const std::string_view details = DetailsOfLine();
            if (count_ == 1) continue;  // the root as chosen
            if (std::optional<Entry> entry = EntryOf(line, details)) return entry;
        }
    }

  private:
    // At the end of the list files: the record's count and the details files must end there too.
    void CheckEnd() {
        if (count_ != record_.lines) {
            throw Unusable(folder_, "its list files hold " + std::to_string(count_) +
                                        " lines, and its record says " +
                                        std::to_string(record_.lines));
        }
        std::string_view more;
        if (details_ && details_->Next(more)) {
            throw Unusable(folder_, "its details files hold more lines than its list files");
        }
    }

    // The fields of the details line beside the list line just read ("" without details).
    std::string_view DetailsOfLine() {
        std::string_view details;
        if (!details_) return details;
        if (!details_->Next(details)) {
            throw Unusable(folder_, "its details files hold fewer lines than its list files");
        }
        return details.substr(0, FieldsEnd(details));
    }

    // The entry a list line names: a file, a folder, or none (a denial line, or a file before
    // the first folder line).
    std::optional<Entry> EntryOf(std::string_view line, std::string_view details) {
        if (line.starts_with("\t\t")) {
            if (!inFolder_) return std::nullopt;
            return Entry{true, Relative(), line.substr(2), folderPath_, details};
        }
        if (line.starts_with('\t')) {
            folderPath_.assign(line.substr(1));
            if (!inFolder_) base_ = folderPath_;
            inFolder_ = true;
            return Entry{false, Relative(), {}, folderPath_, details};
        }
        return std::nullopt;  // a denial line
    }

    // Where the three fields before a details line's path end.
    static std::size_t FieldsEnd(std::string_view details) {
        std::size_t at = 0;
        for (int field = 0; field < 3 && at != std::string_view::npos; ++field) {
            at = details.find('\t', at);
            if (at != std::string_view::npos) ++at;
        }
        return at == std::string_view::npos ? details.size() : at;
    }

    std::string_view Relative() const {
        std::string_view path = folderPath_;
        if (!path.starts_with(base_)) return path;
        path.remove_prefix(base_.size());
        while (path.starts_with('/')) path.remove_prefix(1);
        return path;
    }

    void ReadRecordHere() {
        const ReadFile file(folderFd_, folder_, std::string(listing::kRecordName));
        if (file.Fd() >= 0) opened_.Note(file.Fd(), std::string(listing::kRecordName));
        struct stat st {};
        if (file.Fd() < 0 || ::fstat(file.Fd(), &st) != 0) {
            throw Unusable(folder_, "it holds no " + std::string(listing::kRecordName) +
                                        " (a Save of this version writes one)");
        }
        if (st.st_size > kMostRecordBytes) throw Unusable(folder_, "its record is too large");
        std::string text(static_cast<std::size_t>(st.st_size), '\0');
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::read(file.Fd(), text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw Unusable(folder_, "its record cannot be read");
            done += static_cast<std::size_t>(n);
        }
        std::string why;
        std::optional<ListingRecord> record = ReadRecord(text, why);
        if (!record) throw Unusable(folder_, std::string(listing::kRecordName) + ": " + why);
        record_ = std::move(*record);
    }

    // Every list file the record names is there, and together they are as long as it says.
    void CheckListFiles() {
        std::uint64_t bytes = 0;
        for (int number = record_.firstListFile; number <= record_.lastListFile; ++number) {
            struct stat st {};
            if (::fstatat(folderFd_, listing::ListFileName(number).c_str(), &st,
                          AT_SYMLINK_NOFOLLOW) != 0) {
                throw Unusable(folder_,
                               listing::ListFileName(number) + " of its listing is missing");
            }
            if (S_ISLNK(st.st_mode)) {
                throw Unusable(folder_, listing::ListFileName(number) + " is a link, not a file");
            }
            if (!S_ISREG(st.st_mode)) {
                throw Unusable(folder_, listing::ListFileName(number) + " is not a regular file");
            }
            bytes += static_cast<std::uint64_t>(st.st_size);
        }
        if (bytes != record_.bytes) {
            throw Unusable(folder_, "its list files are not the ones its record describes (" +
                                        std::to_string(bytes) + " bytes, the record says " +
                                        std::to_string(record_.bytes) + ")");
        }
    }

    std::string folder_;
    int folderFd_ = -1;
    ListingRecord record_;
    FileIdentities opened_;  // the record and every list and details file read so far
    std::optional<NumberedLines> lines_;
    std::optional<NumberedLines> details_;
    std::uint64_t count_ = 0;
    std::string base_;        // the root's folder line
    std::string folderPath_;  // the current folder's
    bool inFolder_ = false;
};

// The bytes of a name as the walk sorted them, from the list file's text of it: a CR or LF it
// holds is written as the sign for it (three bytes), and taken back as the byte it stands for.
// (A name that truly holds the sign cannot be told from one holding the byte.) -1 at the end.
class WalkedBytes {
  public:
    explicit WalkedBytes(std::string_view text) : text_(text) {}
    int Next() {
        if (at_ == text_.size()) return -1;
        if (text_.substr(at_, 2) == "\xE2\x90" && at_ + 2 < text_.size()) {
            const char last = text_[at_ + 2];
            if (last == '\x8A' || last == '\x8D') {
                at_ += 3;
                return last == '\x8A' ? '\n' : '\r';
            }
        }
        return static_cast<unsigned char>(text_[at_++]);
    }

  private:
    std::string_view text_;
    std::size_t at_ = 0;
};

// The order the walk lists names or folders in: by the bytes it sorted, a name that ends first
// first, and for folders by their paths' names one by one ("a/b" before "a-b": with `slashFirst`
// "/" ranks before every byte).
int CompareAsWalked(std::string_view a, std::string_view b, bool slashFirst) {
    const auto rank = [slashFirst](int c) {
        return c < 0 ? 0 : slashFirst && c == '/' ? 1 : c + 2;
    };
    // The bytes both share are skipped at once, back to where a sign they may end inside began:
    // only the rest is taken byte by byte.
    std::size_t same = static_cast<std::size_t>(
        std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin()).first -
        a.begin());
    if (same == a.size() && same == b.size()) return 0;
    if (same >= 1 && a[same - 1] == '\xE2') {
        same -= 1;
    } else if (same >= 2 && a[same - 1] == '\x90' && a[same - 2] == '\xE2') {
        same -= 2;
    }
    WalkedBytes left(a.substr(same));
    WalkedBytes right(b.substr(same));
    for (;;) {
        const int x = rank(left.Next());
        const int y = rank(right.Next());
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
}

// The order of two entries in a listing: by folder, the folder's line before its files, files by
// name.
int CompareEntries(const Entry& a, const Entry& b) {
    if (const int folders = CompareAsWalked(a.relative, b.relative, true); folders != 0) {
        return folders;
    }
    if (a.isFile != b.isFile) return a.isFile ? 1 : -1;
    return CompareAsWalked(a.name, b.name, false);
}

void Report(char sign, const Entry& entry, std::string& line,
            const std::function<void(std::string_view)>& difference) {
    line.assign(1, sign);
    line += '\t';
    line += entry.folderPath;
    if (entry.isFile) {
        if (!line.ends_with('/')) line += '/';
        line += entry.name;
    } else if (!line.ends_with('/')) {
        line += '/';
    }
    difference(line);
}

}  // namespace

bool CompareListings(const std::string& oldFolder, const std::string& newFolder,
                     const std::function<void(std::string_view)>& difference,
                     const std::function<void()>& check) {
    if (check) check();
    ListingReader olds(oldFolder);
    ListingReader news(newFolder);
    const bool withDetails = olds.HasDetails() && news.HasDetails();
    if (withDetails) {
        olds.ReadDetails();
        news.ReadDetails();
    }
    std::optional<Entry> old = olds.Next();
    std::optional<Entry> now = news.Next();
    bool differ = false;
    std::string line;
    std::size_t steps = 0;
    while (old || now) {
        if (check && ++steps % kStepsBetweenChecks == 0) check();
        const int order = !old ? 1 : !now ? -1 : CompareEntries(*old, *now);
        if (order == 0) {
            if (withDetails && old->details != now->details) {
                differ = true;
                Report('~', *now, line, difference);
            }
            old = olds.Next();
            now = news.Next();
            continue;
        }
        differ = true;
        if (order < 0) {
            Report('-', *old, line, difference);
            old = olds.Next();
        } else {
            Report('+', *now, line, difference);
            now = news.Next();
        }
    }
    // Told what was read; if a Save replaced any of it meanwhile, that may mix two listings.
    for (const ListingReader* reader : {&olds, &news}) {
        if (!reader->Unchanged()) throw ListingChanged(reader->FolderPath());
    }
    return differ;
}

}  // namespace quorvale::catalogue
