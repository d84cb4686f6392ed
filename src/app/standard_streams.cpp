#include "app/standard_streams.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

namespace quorvale::app {

int WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

int WriteOutput(std::string_view text) {
    const int err = WriteAll(STDOUT_FILENO, text);
    if (err == 0) return 0;
    if (err == EPIPE) return 128 + SIGPIPE;
    WriteError(std::string("quorvale: write error: ") + std::strerror(err) + "\n");
    return 2;
}

void WriteOutputOrStop(std::string_view text) {
    if (const int status = WriteOutput(text); status != 0) throw OutputStopped{status};
}

int WriteError(std::string_view text) {
    return WriteAll(STDERR_FILENO, text);
}

std::string ErrorMessage(std::string_view text) {
    const std::size_t wordEnd = std::min(text.find(' '), text.size());
    const std::string_view word = text.substr(0, wordEnd);
    const bool ordinary =
        word.size() > 1 && word[0] >= 'A' && word[0] <= 'Z' &&
        std::all_of(word.begin() + 1, word.end(), [](char c) { return c >= 'a' && c <= 'z'; });
    constexpr std::string_view kProgram = "quorvale: ";
    std::string message(kProgram);
    message += text;
    if (ordinary) message[kProgram.size()] = static_cast<char>(word[0] - 'A' + 'a');
    message += '\n';
    return message;
}

}  // namespace quorvale::app
