// Sequential output of text lines to one file: each line is written as its own bytes followed by
// CR LF. Close reports any failure to get the bytes to the file; after Close, or after any failure,
// the file is no longer open.
#pragma once

#include <string>
#include <string_view>

namespace quorvale::runtime {

class TextOutput {
  public:
    virtual ~TextOutput() = default;
    virtual void PrintLine(std::string_view line) = 0;
    virtual void Close() = 0;
};

// Text output to a POSIX file, buffered in large blocks.
class FileTextOutput final : public TextOutput {
  public:
    // Creates `path` or truncates an existing file; throws RuntimeError.
    explicit FileTextOutput(const std::string& path);
    ~FileTextOutput() override;
    FileTextOutput(const FileTextOutput&) = delete;
    FileTextOutput& operator=(const FileTextOutput&) = delete;

    void PrintLine(std::string_view line) override;
    void Close() override;

  private:
    void FlushBuffer();
    void Abandon() noexcept;

    std::string path_;
    int fd_ = -1;
    std::string pending_;
};

}  // namespace quorvale::runtime
