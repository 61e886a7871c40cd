// File descriptors: HFd, the one owner type, and the one loop that writes a whole buffer,
// resuming after short writes and interrupted calls.
#pragma once

#include <cstddef>

namespace quorvel {

// Move-only owner of a file descriptor; closes it on destruction.
class HFd {
public:
    explicit HFd(int fd = -1) noexcept : fd_(fd) {}
    ~HFd() { Reset(); }
    HFd(HFd&& other) noexcept : fd_(other.Release()) {}
    HFd& operator=(HFd&& other) noexcept;
    HFd(const HFd&) = delete;
    HFd& operator=(const HFd&) = delete;

    int Get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int Release() noexcept;
    void Reset(int fd = -1) noexcept;

private:
    int fd_;
};

// Writes all `n` bytes at `p` to `fd`; false when a write fails (the rest is dropped).
bool WriteAll(int fd, const char* p, size_t n);

}  // namespace quorvel
