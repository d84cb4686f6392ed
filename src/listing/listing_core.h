// The listing core: walks a folder tree into the listing buffer (`ListFolder`) and writes the
// buffer to the numbered list files next to the program (`SaveList`). The window's Save command
// drives both; tests drive them directly with their own file system and runtime services.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "listing/file_system.h"
#include "listing/listing_buffer.h"
#include "runtime/runtime_services.h"

namespace quorvale::listing {

inline constexpr std::int16_t kFlushThreshold = 32000;
inline constexpr const char* kDenialLine = "Permission Denied";

class ListingCore {
  public:
    using YieldHook = std::function<void()>;

    ListingCore(ListingBuffer& buffer, FileSystem& fileSystem, runtime::RuntimeServices& runtime);
    ~ListingCore();
    ListingCore(const ListingCore&) = delete;
    ListingCore& operator=(const ListingCore&) = delete;

    // Called after every folder line and every file line so that the window stays alive; may
    // throw RuntimeError, which the walk handles like the failure of any other step.
    void SetYield(YieldHook yield) { yield_ = std::move(yield); }

    // Walks `path` and everything below it into the buffer, depth first: a folder line, the
    // folder's file lines, then each subfolder in turn. A step that fails for lack of permission
    // leaves a "Permission Denied" line and the walk resumes after that step; any other failure
    // ends the listing of that folder and the walk goes on with the next. Whenever a line brings
    // the buffer to kFlushThreshold lines it is saved to the next list file; a failure of that
    // save ends the whole walk and is thrown to the caller, with the unsaved lines still in the
    // buffer.
    void ListFolder(const std::string& path);

    // Writes every line of the buffer to the next list file, then empties the buffer and advances
    // ListFileNumber. On any failure the file is closed and removed, the buffer keeps its lines and
    // the number does not advance; the error is thrown.
    void SaveList();

    // The list file the next SaveList writes: program folder, "/ListTex", number, ".txt".
    std::string ListFilePath();

    std::int16_t ListFileNumber = 0;

  private:
    struct Frame;
    enum class Outcome { Resume, EndCall };
    enum class StepResult { Ok, Resumed, Ended };

    template <typename Open>
    void VisitFolder(Open&& open);
    template <typename Step>
    StepResult Attempt(std::size_t level, Step&& step);
    Outcome Handle(std::size_t level, const runtime::RuntimeError& error);
    void EndCall(std::size_t level);
    void AppendAndFlush(std::string_view line);
    void FlushInWalk();

    ListingBuffer& buffer_;
    FileSystem& fileSystem_;
    runtime::RuntimeServices& runtime_;
    YieldHook yield_;
    std::vector<Frame> stack_;  // one frame per folder level of the walk, outermost first
    bool walking_ = false;
    std::string line_;  // reused for every line, to spare an allocation per file
};

// The bytes a buffer line is written as in a list file. A CR or LF inside a name would let a
// name pose as further lines, so each is written as the visible sign for it (U+240D, U+240A);
// every other byte is written as it is.
std::string ListFileText(std::string_view line);

}  // namespace quorvale::listing
