#include "listing/list_file_writer.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "listing/details_line.h"
#include "listing/list_file_name.h"
#include "runtime/open_file_limit.h"
#include "runtime/path_join.h"
#include "runtime/utc_time.h"

namespace quorvale::listing {

using runtime::RuntimeError;

namespace {

constexpr std::string_view kVisibleCR = "\xE2\x90\x8D";  // U+240D SYMBOL FOR CARRIAGE RETURN
constexpr std::string_view kVisibleLF = "\xE2\x90\x8A";  // U+240A SYMBOL FOR LINE FEED

}  // namespace

bool HoldsLineBreakSign(std::string_view text) {
    return std::memchr(text.data(), 0xE2, text.size()) != nullptr &&
           (text.find(kVisibleLF) != std::string_view::npos ||
            text.find(kVisibleCR) != std::string_view::npos);
}

bool HasLineBreak(std::string_view line) {
    return std::memchr(line.data(), '\r', line.size()) != nullptr ||
           std::memchr(line.data(), '\n', line.size()) != nullptr;
}

std::string ListFileText(std::string_view line) {
    std::string text;
    text.reserve(line.size());
    for (const char c : line) {
        if (c == '\r') {
            text += kVisibleCR;
        } else if (c == '\n') {
            text += kVisibleLF;
        } else {
            text += c;
        }
    }
    return text;
}

void AppendRealBytes(std::string& out, std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t sign = text.find("\xE2\x90", at);
        if (sign == std::string_view::npos || sign + 2 >= text.size()) {
            out += text.substr(at);
            return;
        }
        const std::string_view three = text.substr(sign, 3);
        out += text.substr(at, sign - at);
        if (three == kVisibleCR || three == kVisibleLF) {
            out += three == kVisibleCR ? '\r' : '\n';
        } else {
            out += "\xE2\x90";
            at = sign + 2;
            continue;
        }
        at = sign + 3;
    }
}

bool FitsInAListFileLine(std::string_view line) {
    constexpr std::size_t kDetailsFields = 64;  // type, size and time with their tabs, at most
    if (line.size() + kDetailsFields > kMaxLineBytes) return false;
    // Every path of a real tree: even were each byte a line break, it would fit.
    if (3 * line.size() + kDetailsFields <= kMaxLineBytes) return true;
    std::size_t breaks = 0;
    for (const char c : line) breaks += c == '\r' || c == '\n';
    return line.size() + 2 * breaks + kDetailsFields <= kMaxLineBytes;
}

ListFileWriter::ListFileWriter(ListingBuffer& buffer, reading::FileSystem& fileSystem,
                               runtime::RuntimeServices& runtime)
    : buffer_(buffer),
      fileSystem_(fileSystem),
      runtime_(runtime),
      commitsInFlight_(CommitsInFlight()) {}

void ListFileWriter::NotedLines::Clear() {
    lines_.clear();
    entries_.clear();
    stamps_.clear();
}

void ListFileWriter::NotedLines::Into(std::size_t i, LineDetails& details) const {
    const Noted& noted = lines_[i];
    details.kind = noted.kind;
    details.entryKind = noted.entryKind;
    // Most lines have neither: what is left of a line before is put back as it begins only then.
    if (noted.entry != kNone) {
        details.entry = entries_[noted.entry];
    } else if (details.known) {
        details.entry = {};
    }
    details.known = noted.known;
    if (noted.stamp != kNone) {
        details.stamp = stamps_[noted.stamp];
    } else if (details.stamp.known) {
        details.stamp = {};
    }
}

void ListFileWriter::StartListing(std::size_t linesPerFile) {
    linesSaved_ = 0;
    linesWithTheSign_ = 0;
    lineDetails_.Clear();
    // Noted for each line of a list file: held at once rather than grown (and copied) line by
    // line through the first file.
    if (details_ || lineObserver_ || entryObserver_) lineDetails_.Reserve(linesPerFile);
    buffer_.Reserve(linesPerFile);
    detailsFolder_.clear();
}

std::string ListFileWriter::NextListFilePath() {
    return ListFilePath(lock_ ? lock_->Path() : runtime_.ListFileFolder(), listFileNumber_);
}

ListFileWriter::LockScope::LockScope(ListFileWriter& writer, bool now)
    : writer_(writer), outermost_(!writer.lockScoped_) {
    if (!outermost_) return;
    if (now) writer_.TakeLock();  // on a failure nothing is held
    writer_.lockScoped_ = true;
}

ListFileWriter::LockScope::~LockScope() {
    if (!outermost_) return;
    writer_.WaitForWrites();
    writer_.lock_.reset();
    writer_.lockScoped_ = false;
}

void ListFileWriter::TakeLock() {
    if (lock_) return;
    lock_ = runtime_.LockListFileFolder();
    ownTemporaryNames_.clear();
}

// Whether `folder` is the locked list folder, which may hold the Save's own temporary files.
bool ListFileWriter::HoldsOwnTemporaryFiles(const reading::Folder& folder) const {
    if (!lock_ || ownTemporaryNames_.empty()) return false;
    const reading::FolderIdentity id = folder.Identity();
    return id.known && id.device == static_cast<std::uint64_t>(lock_->Device()) &&
           id.inode == static_cast<std::uint64_t>(lock_->Inode());
}

std::size_t ListFileWriter::CommitsInFlight() {
    // Each holds two handles (the file and its folder) until it is in place: a small open-file
    // limit keeps one.
    const std::size_t limit = runtime::OpenFileLimit();
    return std::clamp<std::size_t>(limit > 32 ? (limit - 32) / 8 : 1, 1, kMaxCommitsInFlight);
}

// The next list file's output, in the locked folder. Out of handles, the file system lets go of
// those it can spare and the file is tried again.
std::unique_ptr<runtime::TextOutput> ListFileWriter::OpenListFile() {
    try {
        return runtime_.OpenForOutput(*lock_, ListFileName(listFileNumber_));
    } catch (const RuntimeError& error) {
        if (error.Number() != runtime::TooManyFiles) throw;
    }
    fileSystem_.FreeHandles();
    return runtime_.OpenForOutput(*lock_, ListFileName(listFileNumber_));
}

// Writes the buffer to the next list file and queues it to be put in place; the buffer is emptied
// and the number advanced. A failure to write keeps the buffer and the number as they were.
void ListFileWriter::StartSave() {
    CollectCommits(commitsInFlight_ - 1, true);
    // The number must be able to advance past this file, or a later save would overwrite it.
    if (listFileNumber_ == INT16_MAX) {
        throw RuntimeError(runtime::Overflow,
                           "Cannot write list file \"" + NextListFilePath() +
                               "\": the last list file one run of the program writes is " +
                               ListFileName(INT16_MAX - 1));
    }
    // On a failure the output goes out of scope unfinished, which removes its temporary file.
    std::uint64_t withTheSign = 0;
    std::unique_ptr<runtime::TextOutput> out;
    std::unique_ptr<runtime::TextOutput> details;
    try {
        TakeLock();
        out = OpenListFile();
        if (std::string temporary = out->TemporaryName(); !temporary.empty()) {
            ownTemporaryNames_.insert(std::move(temporary));
        }
        const std::size_t count = buffer_.ListCount();
        if ((lineObserver_ || entryObserver_) && lineDetails_.Size() != count) {
            throw RuntimeError(runtime::InvalidProcedureCall,
                               "Cannot write \"" + NextListFilePath() +
                                   "\": what the walk noted no longer matches the listing's lines");
        }
        const bool observed = lineObserver_ || entryObserver_;
        LineDetails noted;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string_view line = buffer_.Line(i);
            if (observed) lineDetails_.Into(i, noted);
            if (entryObserver_) entryObserver_(linesSaved_ + i, line, noted);
            // The lines hold the names as read (folders whose names hold a sign are read again,
            // never taken from an earlier listing's text): a sign here is the name's own.
            if (HoldsLineBreakSign(line)) ++withTheSign;
            if (HasLineBreak(line)) {
                const std::string text = ListFileText(line);
                out->PrintLine(text);
                if (lineObserver_) lineObserver_(text, noted);
            } else {
                out->PrintLine(line);
                if (lineObserver_) lineObserver_(line, noted);
            }
        }
        out->FinishWriting();
        if (details_) details = WriteDetailsFile();
    } catch (const RuntimeError&) {
        // The files before it are in place (or the first that is not is reported) before the
        // failure is: after a failed Save, ListTex1 up to the number before it are whole.
        details.reset();
        out.reset();
        FinishCommits(false);
        throw;
    }
    committer_.Submit(listFileNumber_, std::move(out));
    if (details) committer_.Submit(listFileNumber_, std::move(details));
    lineDetails_.Clear();
    linesSaved_ += static_cast<std::uint64_t>(buffer_.ListCount());
    linesWithTheSign_ += withTheSign;
    buffer_.Clear();
    ++listFileNumber_;
}

// The details file beside the list file the buffer is written to: line for line, each line's
// type, size, time and full path (written as the list file writes it), tab-separated; lines that
// name no entry (the root as chosen, denials) have the three fields empty.
std::unique_ptr<runtime::TextOutput> ListFileWriter::WriteDetailsFile() {
    const std::size_t count = buffer_.ListCount();
    if (lineDetails_.Size() != count) {
        throw RuntimeError(runtime::InvalidProcedureCall,
                           "Cannot write \"" + DetailsFileName(listFileNumber_) +
                               "\": the details no longer match the listing's lines");
    }
    std::unique_ptr<runtime::TextOutput> out =
        runtime_.OpenForOutput(*lock_, DetailsFileName(listFileNumber_));
    if (std::string temporary = out->TemporaryName(); !temporary.empty()) {
        ownTemporaryNames_.insert(std::move(temporary));
    }
    std::string text;
    LineDetails details;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view line = buffer_.Line(i);
        lineDetails_.Into(i, details);
        text.clear();
        if (details.known) {
            AppendDetailsFields(text, details.entry);
        } else {
            text += "\t\t\t";
        }
        const std::size_t pathStart = text.size();
        if (details.kind == LineDetails::Kind::kFolder) {
            detailsFolder_.assign(line.substr(1));
            text += detailsFolder_;
        } else if (details.kind == LineDetails::Kind::kFile) {
            runtime::AppendPath(text, detailsFolder_, line.substr(2));
        } else {
            text += line;
        }
        const std::string_view path = std::string_view(text).substr(pathStart);
        if (HasLineBreak(path)) text.replace(pathStart, std::string::npos, ListFileText(path));
        out->PrintLine(text);
    }
    out->FinishWriting();
    return out;
}

// Waits until at most `keep` list files are being put in place, letting the window catch up
// meanwhile when `yielding`. If one failed (the committer abandoned every later one), the number
// is the failed file's again (its lines are no longer in the buffer) and its failure is thrown.
void ListFileWriter::CollectCommits(std::size_t keep, bool yielding) {
    try {
        committer_.WaitUntilAtMost(keep, yielding ? wait_ : std::function<void()>());
    } catch (const CommitFailed& failed) {
        listFileNumber_ = failed.number;
        throw failed.error;
    }
}

void ListFileWriter::WaitForWrites() noexcept {
    try {
        FinishCommits(false);
    } catch (...) {
    }
}

}  // namespace quorvale::listing
