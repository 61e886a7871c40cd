#include "template/HPage.h"

#include "template/HFileIo.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

int OpenTemporary() {
    const char* dir = std::getenv("TMPDIR");
    if (!dir || !*dir)
        dir = "/tmp";
    int fd = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
    // File systems without O_TMPFILE: a named file, unlinked at once.
    std::string path = std::string(dir) + "/quorvel-page-XXXXXX";
    fd = ::mkostemp(&path[0], O_CLOEXEC);
    if (fd >= 0)
        ::unlink(path.c_str());
    return fd;
}

}  // namespace

HPage::HPage(int fd) : fd_(fd), buffer_(new char[kBufferSize]) {}

std::unique_ptr<HPage> HPage::Temporary() {
    int fd = OpenTemporary();
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<HPage>(new HPage(fd));
}

std::unique_ptr<HPage> HPage::OpenLog(const std::string& path) {
    if (path.empty())
        return nullptr;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<HPage>(new HPage(fd));
}

HPage::~HPage() {
    Flush();
    ::close(fd_);
}

void HPage::Flush() {
    // A full disk loses the rest of the page; the request itself goes on.
    WriteAll(fd_, buffer_.get(), used_);
    used_ = 0;
}

void HPage::WriteSlow(const char* data, size_t size) {
    Flush();
    if (size >= kBufferSize) {
        WriteAll(fd_, data, size);
        return;
    }
    std::char_traits<char>::copy(buffer_.get(), data, size);
    used_ = size;
}

bool HPage::CopyTo(int fd) {
    Flush();
    std::unique_ptr<char[]> chunk(new char[kBufferSize]);
    off_t offset = 0;
    for (;;) {
        ssize_t n = ::pread(fd_, chunk.get(), kBufferSize, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        offset += n;
        if (!WriteAll(fd, chunk.get(), static_cast<size_t>(n)))
            return false;
    }
}

std::string HPage::Contents() {
    Flush();
    std::string out;
    char buf[4096];
    off_t offset = 0;
    ssize_t n;
    while ((n = ::pread(fd_, buf, sizeof buf, offset)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        offset += n;
    }
    return out;
}
