// The program's one error type: a number and a readable message. The walk tells apart only
// PermissionDenied (70) from every other number; the others name the kind of failure in messages.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvale::runtime {

enum ErrorNumber : int {
    InvalidProcedureCall = 5,
    Overflow = 6,
    OutOfMemory = 7,
    FileAlreadyOpen = 55,
    DeviceIOError = 57,
    DiskFull = 61,
    TooManyFiles = 67,
    PermissionDenied = 70,
    PathFileAccessError = 75,
    PathNotFound = 76,
};

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

// The system's text for an errno value.
std::string SystemReason(int err);

// Builds the error for a failed system call: "<action> "<path>": <system's reason>".
RuntimeError ErrorFromErrno(int err, std::string_view action, std::string_view path);

}  // namespace quorvale::runtime
