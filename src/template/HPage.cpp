#include "template/HPage.h"

#include <cerrno>
#include <unistd.h>

namespace {
constexpr size_t kBufferSize = 64 * 1024;

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}
}  // namespace

HPage::HPage(FILE* f) : file_(f), buffer_(new char[kBufferSize]) {
    std::setvbuf(file_, buffer_.get(), _IOFBF, kBufferSize);
}

std::unique_ptr<HPage> HPage::Temporary() {
    FILE* f = std::tmpfile();
    if (!f)
        return nullptr;
    return std::unique_ptr<HPage>(new HPage(f));
}

std::unique_ptr<HPage> HPage::OpenLog(const std::string& path) {
    if (path.empty())
        return nullptr;
    FILE* f = std::fopen(path.c_str(), "w+e");
    if (!f)
        return nullptr;
    return std::unique_ptr<HPage>(new HPage(f));
}

HPage::~HPage() { std::fclose(file_); }

bool HPage::CopyTo(int fd) {
    std::fflush(file_);
    std::rewind(file_);
    int in = fileno(file_);
    std::unique_ptr<char[]> chunk(new char[kBufferSize]);
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(in, chunk.get(), kBufferSize);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (ok)
            ok = WriteAll(fd, chunk.get(), static_cast<size_t>(n));
    }
    std::fseek(file_, 0, SEEK_END);
    return ok;
}

std::string HPage::Contents() {
    std::fflush(file_);
    long here = std::ftell(file_);
    std::rewind(file_);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0)
        out.append(buf, n);
    std::fseek(file_, here, SEEK_SET);
    return out;
}
