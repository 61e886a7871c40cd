// Writing to file descriptors: the one loop that writes a whole buffer, resuming after
// short writes and interrupted calls.
#pragma once

#include <cstddef>

namespace quorvel {

// Writes all `n` bytes at `p` to `fd`; false when a write fails (the rest is dropped).
bool WriteAll(int fd, const char* p, size_t n);

}  // namespace quorvel
