// What the program needs of the platform underneath it, gathered in one place: the error model
// (numbered errors, 70 = permission denied), checked 16-bit arithmetic, the program's own folder
// and sequential text output. Plain C++ and POSIX; nothing here knows about widgets.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvale::runtime {

// The error numbers the program uses. Only PermissionDenied is told apart by the folder walk; the
// others exist so that a message names the right kind of failure.
enum ErrorNumber : int {
    InvalidProcedureCall = 5,
    Overflow = 6,
    OutOfMemory = 7,
    SubscriptOutOfRange = 9,
    FileNotFound = 53,
    DeviceIOError = 57,
    DiskFull = 61,
    TooManyFiles = 67,
    PermissionDenied = 70,
    PathFileAccessError = 75,
    PathNotFound = 76,
    InvalidPropertyValue = 380,
};

// One error type for every failure: the number and a readable message (what was being done, the
// path, and the system's reason).
class RuntimeError : public std::runtime_error {
  public:
    RuntimeError(int number, const std::string& message)
        : std::runtime_error(message), number_(number) {}
    int Number() const noexcept { return number_; }

  private:
    int number_;
};

// Maps an errno value to the error number; EACCES and EPERM become PermissionDenied.
int ErrorNumberFromErrno(int err) noexcept;

// Builds the error for a failed system call: "<action> <path>: <system's reason>".
RuntimeError ErrorFromErrno(int err, std::string_view action, std::string_view path);

// 16-bit signed arithmetic that fails with Overflow instead of wrapping.
std::int16_t CheckedAdd16(std::int16_t a, std::int16_t b);

// Sequential output of text lines to one file. Each line is written as its own bytes followed by
// CR LF. Close reports any failure to get the bytes to the file; after Close, or after any failure,
// the file is no longer open.
class TextOutput {
  public:
    virtual ~TextOutput() = default;
    virtual void PrintLine(std::string_view line) = 0;
    virtual void Close() = 0;
};

// The services of the platform that the listing core calls and tests replace.
class RuntimeServices {
  public:
    virtual ~RuntimeServices() = default;
    // The folder that holds the running executable, without a trailing "/" (except "/" itself).
    virtual std::string ProgramFolder() = 0;
    // Opens `path` for output, creating it or truncating an existing file.
    virtual std::unique_ptr<TextOutput> OpenForOutput(const std::string& path) = 0;
    // Removes a file left behind by a failed write; failures are ignored.
    virtual void RemoveFile(const std::string& path) = 0;
};

// The real services: /proc/self/exe for the program folder, POSIX files for output.
class SystemRuntimeServices final : public RuntimeServices {
  public:
    std::string ProgramFolder() override;
    std::unique_ptr<TextOutput> OpenForOutput(const std::string& path) override;
    void RemoveFile(const std::string& path) override;
};

// Text output to a POSIX file descriptor, buffered in large blocks.
class FileTextOutput final : public TextOutput {
  public:
    explicit FileTextOutput(const std::string& path);  // throws RuntimeError
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
