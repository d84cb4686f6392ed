// Output of one file a Save writes (a list file, a details file, its record), whole or not at
// all: the lines go to a temporary file beside the final name (created exclusively, never through a
// link), and Close makes them durable and renames the temporary file onto the final name. Until
// that rename an earlier file of that name is untouched; a failure at any point, or destroying the
// output before Close, removes the temporary file. Every name is taken relative to the handle of
// the folder the output was given, never by path.
//
// Each line is written as its own bytes followed by CR LF; bytes printed as bytes are written as
// they are.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "runtime/unique_fd.h"

namespace quorvale::runtime {

class TextOutput {
  public:
    virtual ~TextOutput() = default;
    virtual void PrintLine(std::string_view line) = 0;
    // Writes `bytes` as they are, with no line end (a file that is not lines of text).
    virtual void PrintBytes(std::string_view bytes) = 0;
    // Hands every line printed so far to the file system; afterwards only Close may be called.
    virtual void FinishWriting() = 0;
    // Finishes writing, makes the file durable and puts it in place under its name. After Close,
    // or after any failure, the output is no longer open. Once FinishWriting has returned, Close
    // touches nothing but this output, so it may run on another thread.
    virtual void Close() = 0;
    // The name of the file the lines are written to until Close puts it in place (empty when
    // there is none), so that a walk of the same folder can leave it out.
    virtual std::string TemporaryName() const { return {}; }
};

// Temporary files are named "." + final name + kTempMarker + six random characters.
inline constexpr std::string_view kTempMarker = ".tmp-";

enum class Durability {
    kSynced,    // data and the rename reach the disk before Close returns, or Close fails
    kUnsynced,  // left to the kernel (for measuring what syncing costs)
};

// The system calls that decide whether a list file is whole and durable, behind one seam so that
// a test can watch their order. The real ones by default.
class OutputSystemCalls {
  public:
    virtual ~OutputSystemCalls() = default;
    virtual int FstatAt(int folder, const char* name, struct stat* st, int flags);
    virtual int FdataSync(int fd);
    virtual int RenameAt(int folder, const char* from, const char* to);
    virtual int FolderSync(int folder);
    virtual int UnlinkAt(int folder, const char* name);
    static OutputSystemCalls& Real();
};

class FileTextOutput final : public TextOutput {
  public:
    // Starts the file `name` in the folder whose handle is `folder` (the output keeps a handle of
    // its own to it); `path` names the file in messages. Throws RuntimeError when the name is
    // taken by anything but a regular file or a link, when an existing file there is read-only
    // (no write permission bit, also for root), or when the temporary file cannot be created.
    FileTextOutput(int folder, std::string name, std::string path,
                   Durability durability = Durability::kSynced,
                   OutputSystemCalls& calls = OutputSystemCalls::Real());
    ~FileTextOutput() override;
    FileTextOutput(const FileTextOutput&) = delete;
    FileTextOutput& operator=(const FileTextOutput&) = delete;

    void PrintLine(std::string_view line) override;
    void PrintBytes(std::string_view bytes) override;
    void FinishWriting() override;
    void Close() override;
    std::string TemporaryName() const override { return tempName_; }

  private:
    void CheckReplaceable() const;
    void CreateTemporary();
    void FlushBuffer();
    void WriteAll(std::string_view bytes);
    [[noreturn]] void Fail(int err, std::string_view action);
    void Abandon() noexcept;

    std::string path_;
    std::string name_;      // the final name in its folder
    std::string tempName_;  // the temporary file's name in that folder
    Durability durability_;
    OutputSystemCalls& calls_;
    UniqueFd folderFd_;
    UniqueFd fd_;
    std::string pending_;
};

}  // namespace quorvale::runtime
