// The process's open-file limit.
#pragma once

#include <cstddef>

namespace quorvale::runtime {

// Raises the soft open-file limit to the hard limit, as find-like tools do; returns the soft limit
// in force afterwards.
std::size_t RaiseOpenFileLimit();

// The soft open-file limit in force.
std::size_t OpenFileLimit();

}  // namespace quorvale::runtime
