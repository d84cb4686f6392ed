// Writing to stdout and stderr as shell tools do: every byte or a clear failure, never a signal.
#pragma once

#include <string_view>

namespace quorvale::app {

// Writes all of `text` to the descriptor; returns 0, or the errno of the write that failed.
int WriteAll(int fd, std::string_view text);

// Writes `text` to stdout. Returns 0; on a failure says "quorvale: write error: ..." on stderr and
// returns 2, or returns 141 (as a process killed by SIGPIPE) when the reader has gone away.
int WriteOutput(std::string_view text);

// Thrown when stdout fails through what writes it a piece at a time: the status the program
// ends with (as WriteOutput returns it).
struct OutputStopped {
    int status;
};

// Writes `text` to stdout as WriteOutput does; throws OutputStopped when that fails.
void WriteOutputOrStop(std::string_view text);

// A message as the program says it on stderr, in the style of the system's tools: "quorvale: ",
// the text with its first word in lower case where that is an ordinary word ("Cannot open ..."
// becomes "cannot open ...", "ListTex1.txt ..." stays), and a newline.
std::string ErrorMessage(std::string_view text);

// Writes `text` to stderr; returns 0 or the errno of the failure (EPIPE: the reader went away).
int WriteError(std::string_view text);

}  // namespace quorvale::app
