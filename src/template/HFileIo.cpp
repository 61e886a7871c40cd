#include "template/HFileIo.h"

#include <cerrno>
#include <unistd.h>

namespace quorvel {

HFd& HFd::operator=(HFd&& other) noexcept {
    if (this != &other)
        Reset(other.Release());
    return *this;
}

int HFd::Release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void HFd::Reset(int fd) noexcept {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace quorvel
