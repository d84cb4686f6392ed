// Output held back in an anonymous file until what it tells of was read whole and unchanged:
// stdout never gets a mix of two listings, and memory holds one block whatever the output's size.
#pragma once

#include <string>
#include <string_view>

#include "runtime/unique_fd.h"

namespace quorvale::app {

class HeldOutput {
  public:
    // `name` names the anonymous file (seen in /proc/PID/fd).
    explicit HeldOutput(const char* name);
    HeldOutput(const HeldOutput&) = delete;
    HeldOutput& operator=(const HeldOutput&) = delete;

    // Holds `line` and its end (a newline, or NUL for output read by xargs -0).
    void Line(std::string_view line, char end = '\n');
    // Forgets what was held, for a listing read again.
    void Clear();
    // Writes everything held to stdout and forgets it; 0, or WriteOutput's status (2 when the
    // held bytes cannot be read back).
    int Print();

  private:
    void Flush();

    runtime::UniqueFd fd_;
    std::string pending_;
};

}  // namespace quorvale::app
