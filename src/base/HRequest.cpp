#include "base/HRequest.h"

#include <cerrno>
#include <cstdlib>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

extern char** environ;

namespace quorvel {

namespace {

// Writes `head` and then `body` to `fd`: one system call for a page with its header, however
// small the page, retried after interruptions and partial writes. False when writing failed.
bool WriteParts(int fd, std::string_view head, std::string_view body) {
    struct iovec parts[2] = {{const_cast<char*>(head.data()), head.size()},
                             {const_cast<char*>(body.data()), body.size()}};
    int first = 0;
    while (first < 2) {
        if (parts[first].iov_len == 0) {
            ++first;
            continue;
        }
        ssize_t n = ::writev(fd, parts + first, 2 - first);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        size_t done = static_cast<size_t>(n);
        for (; first < 2 && done >= parts[first].iov_len; ++first)
            done -= parts[first].iov_len;
        if (first < 2) {
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + done;
            parts[first].iov_len -= done;
        }
    }
    return true;
}

class HCgiRequest final : public HRequest {
public:
    const char* Variable(const char* name) const override { return std::getenv(name); }
    void SetVariable(const char* name, const std::string& value) override {
        ::setenv(name, value.c_str(), 1);
    }
    long ReadBody(char* buffer, std::size_t size) override { return ::read(0, buffer, size); }
    std::time_t Now() const override { return std::time(nullptr); }
    bool Send(std::string_view head, std::string_view body) override { return WriteParts(1, head, body); }
    char* const* ProgramEnvironment() override { return environ; }
    // Standard output, when it is a pipe or a socket to the web server: an error or a
    // hang-up on it means the client went away.
    HClientWatch ClientWatch() const override {
        struct stat st;
        HClientWatch watch;
        if (::fstat(1, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))
            watch.fd = 1;
        return watch;
    }
};

}  // namespace

void HRequest::LogError(std::string_view line) {
    WriteParts(2, line, "\n");
}

bool HRequest::ClientGone() {
    if (!clientGone_) {
        HClientWatch watch = ClientWatch();
        if (watch.fd >= 0) {
            pollfd p{watch.fd, watch.events, 0};
            clientGone_ = ::poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP | watch.events));
        }
    }
    return clientGone_;
}

HRequest& CgiRequest() {
    static HCgiRequest request;
    return request;
}

}  // namespace quorvel
