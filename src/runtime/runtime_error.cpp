#include "runtime/runtime_error.h"

#include <cerrno>
#include <cstring>

namespace quorvale::runtime {

int ErrorNumberFromErrno(int err) noexcept {
    switch (err) {
        case EACCES:
        case EPERM:
            return PermissionDenied;
        case ENOENT:
        case ENOTDIR:
            return PathNotFound;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return DiskFull;
        case EIO:
            return DeviceIOError;
        case EMFILE:
        case ENFILE:
            return TooManyFiles;
        case ENOMEM:
            return OutOfMemory;
        default:
            return PathFileAccessError;
    }
}

std::string SystemReason(int err) {
    char buffer[256];
    // The GNU strerror_r returns the message, which may or may not live in `buffer`.
    return std::string(strerror_r(err, buffer, sizeof buffer));
}

RuntimeError ErrorFromErrno(int err, std::string_view action, std::string_view path) {
    std::string message(action);
    message += " \"";
    message += path;
    message += "\": ";
    message += SystemReason(err);
    return RuntimeError(ErrorNumberFromErrno(err), message);
}

}  // namespace quorvale::runtime
