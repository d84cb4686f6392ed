// Output of one list file, whole or not at all: the lines go to a temporary file beside the final
// name (created exclusively, never through a link), and Close makes them durable and renames the
// temporary file onto the final name. Until that rename an earlier file of that name is untouched;
// a failure at any point, or destroying the output before Close, removes the temporary file.
//
// Each line is written as its own bytes followed by CR LF.
#pragma once

#include <string>
#include <string_view>

namespace quorvale::runtime {

class TextOutput {
  public:
    virtual ~TextOutput() = default;
    virtual void PrintLine(std::string_view line) = 0;
    // Hands every line printed so far to the file system; afterwards only Close may be called.
    virtual void FinishWriting() = 0;
    // Finishes writing, makes the file durable and puts it in place under its name. After Close,
    // or after any failure, the output is no longer open. Once FinishWriting has returned, Close
    // touches nothing but this output, so it may run on another thread.
    virtual void Close() = 0;
};

// Temporary files are named "." + final name + kTempMarker + six random characters.
inline constexpr std::string_view kTempMarker = ".tmp-";

enum class Durability {
    kSynced,    // data and the rename reach the disk before Close returns
    kUnsynced,  // left to the kernel (for measuring what syncing costs)
};

class FileTextOutput final : public TextOutput {
  public:
    // Starts the file `path`. Throws RuntimeError when the name is taken by anything but a regular
    // file or a link, when an existing file there is read-only (no write permission bit, also for
    // root), or when the temporary file cannot be created.
    explicit FileTextOutput(const std::string& path, Durability durability = Durability::kSynced);
    ~FileTextOutput() override;
    FileTextOutput(const FileTextOutput&) = delete;
    FileTextOutput& operator=(const FileTextOutput&) = delete;

    void PrintLine(std::string_view line) override;
    void FinishWriting() override;
    void Close() override;

  private:
    void CheckReplaceable() const;
    void CreateTemporary();
    void FlushBuffer();
    [[noreturn]] void Fail(int err, std::string_view action);
    void Abandon() noexcept;

    std::string path_;
    std::string name_;      // the final name in its folder
    std::string tempName_;  // the temporary file's name in that folder
    Durability durability_;
    int folderFd_ = -1;
    int fd_ = -1;
    std::string pending_;
};

}  // namespace quorvale::runtime
