#include "listing/listing_core.h"

#include <cstring>
#include <utility>

namespace quorvale::listing {

using runtime::RuntimeError;

namespace {

// A failed save of the buffer during a walk: it ends the whole walk, past every folder's error
// policy, and reaches the walk's caller as the RuntimeError it carries.
struct FlushFailed {
    RuntimeError error;
};

constexpr std::string_view kVisibleCR = "\xE2\x90\x8D";  // U+240D SYMBOL FOR CARRIAGE RETURN
constexpr std::string_view kVisibleLF = "\xE2\x90\x8A";  // U+240A SYMBOL FOR LINE FEED

bool HasLineBreak(std::string_view line) {
    return std::memchr(line.data(), '\r', line.size()) != nullptr ||
           std::memchr(line.data(), '\n', line.size()) != nullptr;
}

}  // namespace

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

// One level of the walk: a folder whose subfolders are being visited. Members are released in
// reverse order: the subfolder enumeration, then the folder.
struct ListingCore::Frame {
    std::unique_ptr<Folder> folder;
    std::unique_ptr<Enumeration> subfolders;
    bool childVisited = false;  // the current subfolder has been walked; advance before the next
};

ListingCore::ListingCore(ListingBuffer& buffer, FileSystem& fileSystem,
                         runtime::RuntimeServices& runtime)
    : buffer_(buffer), fileSystem_(fileSystem), runtime_(runtime) {}

ListingCore::~ListingCore() = default;

std::string ListingCore::ListFilePath() {
    return runtime_.ProgramFolder() + "/ListTex" + std::to_string(ListFileNumber) + ".txt";
}

void ListingCore::SaveList() {
    // The number must be able to advance past this file, or a later save would overwrite it.
    if (ListFileNumber == INT16_MAX) {
        throw RuntimeError(runtime::Overflow, "Cannot write list file \"" + ListFilePath() +
                                                  "\": list files are numbered up to 32767 only");
    }
    const std::string path = ListFilePath();
    std::unique_ptr<runtime::TextOutput> out = runtime_.OpenForOutput(path);
    try {
        const std::int16_t last = runtime::CheckedAdd16(buffer_.ListCount(), -1);
        for (std::int16_t i = 0; i <= last; ++i) {
            buffer_.SetListIndex(i);
            const std::string& line = buffer_.Text();
            if (HasLineBreak(line)) {
                out->PrintLine(ListFileText(line));
            } else {
                out->PrintLine(line);
            }
        }
        out->Close();
    } catch (const RuntimeError&) {
        // A part-written list file would pass for a complete one: close and remove it. The lines
        // stay in the buffer.
        out.reset();
        runtime_.RemoveFile(path);
        throw;
    }
    buffer_.Clear();
    ListFileNumber = runtime::CheckedAdd16(ListFileNumber, 1);
}

void ListingCore::FlushInWalk() {
    try {
        SaveList();
    } catch (const RuntimeError& error) {
        throw FlushFailed{error};
    }
}

void ListingCore::AppendAndFlush(std::string_view line) {
    buffer_.AddItem(line);
    if (buffer_.ListCount() == kFlushThreshold) FlushInWalk();
}

void ListingCore::EndCall(std::size_t level) {
    while (stack_.size() > level) stack_.pop_back();
}

// The walk's error policy for the folder at `level`: permission denied leaves a denial line and
// the walk resumes after the failed step; any other error ends that folder's listing. An error
// while appending the denial line ends the folder too and counts as a failure of the parent's
// step that started it; at the top it reaches the caller.
ListingCore::Outcome ListingCore::Handle(std::size_t level, const RuntimeError& error) {
    if (error.Number() == runtime::PermissionDenied) {
        try {
            AppendAndFlush(kDenialLine);
            return Outcome::Resume;
        } catch (const RuntimeError& escaped) {
            EndCall(level);
            if (level == 0) throw;
            Handle(level - 1, escaped);
            return Outcome::EndCall;
        }
    }
    EndCall(level);
    return Outcome::EndCall;
}

template <typename Step>
ListingCore::StepResult ListingCore::Attempt(std::size_t level, Step&& step) {
    try {
        step();
        return StepResult::Ok;
    } catch (const RuntimeError& error) {
        return Handle(level, error) == Outcome::Resume ? StepResult::Resumed : StepResult::Ended;
    }
}

// Lists one folder: its folder line and its file lines. If it has subfolders, its frame stays on
// the stack for the main loop to visit them; otherwise its listing is complete. A failed step that
// ends the folder has already removed its frame.
template <typename Open>
void ListingCore::VisitFolder(Open&& open) {
    const std::size_t level = stack_.size();
    stack_.emplace_back();
    // Frames may move when the stack grows: always reach this one through its index.
    const auto frame = [this, level]() -> Frame& { return stack_[level]; };

    // Obtain the folder; if that was denied, there is no folder to list.
    StepResult r = Attempt(level, [&] { frame().folder = open(); });
    if (r != StepResult::Ok) return EndCall(level);

    // The folder line.
    r = Attempt(level, [&] {
        line_.assign("\t");
        line_ += frame().folder->Path();
        AppendAndFlush(line_);
    });
    if (r == StepResult::Ended) return;
    // Yield after the folder line too, so that a tree of many empty folders keeps the window alive.
    if (yield_) {
        r = Attempt(level, yield_);
        if (r == StepResult::Ended) return;
    }

    std::unique_ptr<Enumeration> files;
    r = Attempt(level, [&] { files = frame().folder->Files(); });
    if (r != StepResult::Ok) return EndCall(level);

    while (!files->AtEnd()) {
        r = Attempt(level, [&] {
            line_.assign("\t\t");
            line_ += files->Current();
            buffer_.AddItem(line_);
        });
        if (r == StepResult::Ended) return;

        r = Attempt(level, [&] { buffer_.SetCountCaption(std::to_string(buffer_.ListCount())); });
        if (r == StepResult::Ended) return;

        bool full = false;
        r = Attempt(level, [&] { full = buffer_.ListCount() == kFlushThreshold; });
        if (r == StepResult::Ended) return;
        // A failed test resumes at the save itself.
        if (full || r == StepResult::Resumed) FlushInWalk();

        if (yield_) {
            r = Attempt(level, yield_);
            if (r == StepResult::Ended) return;
        }

        r = Attempt(level, [&] { files->Next(); });
        if (r == StepResult::Ended) return;
        if (r == StepResult::Resumed) break;  // the remaining files are skipped
    }
    files.reset();

    std::unique_ptr<Enumeration> subfolders;
    r = Attempt(level, [&] { subfolders = frame().folder->SubFolders(); });
    if (r != StepResult::Ok || subfolders->AtEnd()) return EndCall(level);
    frame().subfolders = std::move(subfolders);
}

void ListingCore::ListFolder(const std::string& path) {
    if (walking_) {
        throw RuntimeError(runtime::InvalidProcedureCall,
                           "Cannot list \"" + path + "\": a walk is already in progress");
    }
    walking_ = true;
    struct WalkEnd {
        ListingCore& core;
        ~WalkEnd() {
            core.EndCall(0);
            core.walking_ = false;
        }
    } walkEnd{*this};

    try {
        VisitFolder([&] { return fileSystem_.GetFolder(path); });
        while (!stack_.empty()) {
            const std::size_t level = stack_.size() - 1;
            if (stack_[level].childVisited) {
                // Advance to the next subfolder; after a failure the rest are skipped.
                const StepResult r = Attempt(level, [&] { stack_[level].subfolders->Next(); });
                if (r != StepResult::Ok) {
                    EndCall(level);
                    continue;
                }
            }
            Frame& frame = stack_[level];
            if (frame.subfolders->AtEnd()) {
                EndCall(level);
                continue;
            }
            frame.childVisited = true;
            // Read the current subfolder; after a failure the walk goes on with the next.
            const StepResult r = Attempt(level, [&] { (void)stack_[level].subfolders->Current(); });
            if (r != StepResult::Ok) continue;
            VisitFolder([this, level] {
                Frame& parent = stack_[level];
                return parent.folder->OpenSubFolder(*parent.subfolders);
            });
        }
    } catch (const FlushFailed& failed) {
        throw failed.error;
    }
}

}  // namespace quorvale::listing
