#include "template/HPage.h"

#include "template/HFileIo.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <new>
#include <unistd.h>

namespace quorvel {

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

// The size of the first buffer: most pages fit in it.
constexpr size_t kFirstBuffer = 64 * 1024;

// First buffers that pages gave back, for the next pages of the process (a request has
// two: its page and its tree's rendering page): freeing a block this large makes the
// allocator consolidate its free lists, which costs a persistent process more per request
// than writing a small page does. What one held is never read: a page reads only what it
// has written.
char* spareBuffers[2] = {};
std::size_t spares = 0;

}  // namespace

HPage::HPage(int fd, size_t bound) : fd_(fd), bound_(bound) {
    buffer_ = spares > 0 ? spareBuffers[--spares] : static_cast<char*>(std::malloc(kFirstBuffer));
    if (!buffer_)
        throw std::bad_alloc();
    capacity_ = kFirstBuffer;
}

std::unique_ptr<HPage> HPage::Temporary() {
    return std::unique_ptr<HPage>(new HPage(-1, kSpillBound));
}

std::unique_ptr<HPage> HPage::OpenLog(const std::string& path) {
    if (path.empty())
        return nullptr;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<HPage>(new HPage(fd, kFileBuffer));
}

HPage::~HPage() {
    Flush();  // the descriptor closes after the last bytes are written
    if (capacity_ == kFirstBuffer && spares < std::size(spareBuffers))
        spareBuffers[spares++] = buffer_;
    else
        std::free(buffer_);
}

void HPage::Flush() {
    if (!fd_)
        return;
    // A full disk loses the rest of the page; the request itself goes on.
    WriteAll(fd_.Get(), buffer_, used_);
    used_ = 0;
}

void HPage::WriteSlow(const char* data, size_t size) {
    if (used_ + size > bound_ && !fd_) {
        // The page outgrows memory: on to its temporary file. Without one it stays in
        // memory, which loses nothing.
        fd_.Reset(OpenTemporary());
        if (!fd_)
            bound_ = static_cast<size_t>(-1);
    }
    if (fd_) {
        Flush();
        if (size >= capacity_) {
            WriteAll(fd_.Get(), data, size);
            return;
        }
    } else {
        size_t wanted = capacity_;
        while (wanted - used_ < size)
            wanted = wanted > static_cast<size_t>(-1) / 2 ? used_ + size : wanted * 2;
        if (wanted > bound_ && used_ + size <= bound_)
            wanted = bound_;
        // Large blocks are moved by the system, not copied, when they grow.
        char* grown = static_cast<char*>(std::realloc(buffer_, wanted));
        if (!grown)
            throw std::bad_alloc();
        buffer_ = grown;
        capacity_ = wanted;
    }
    std::char_traits<char>::copy(buffer_ + used_, data, size);
    used_ += size;
}

bool HPage::SendTo(HRequest& request, std::string_view head) {
    if (!fd_)
        return request.Send(head, std::string_view(buffer_, used_));
    Flush();
    std::string_view first = head;
    off_t offset = 0;
    for (;;) {
        ssize_t n = ::pread(fd_.Get(), buffer_, capacity_, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return first.empty() || request.Send(first, std::string_view());
        offset += n;
        if (!request.Send(first, std::string_view(buffer_, static_cast<size_t>(n))))
            return false;
        first = std::string_view();
    }
}

std::string HPage::Contents() {
    if (!fd_)
        return std::string(buffer_, used_);
    Flush();
    std::string out;
    char buf[4096];
    off_t offset = 0;
    ssize_t n;
    while ((n = ::pread(fd_.Get(), buf, sizeof buf, offset)) > 0) {
        out.append(buf, static_cast<size_t>(n));
        offset += n;
    }
    return out;
}

}  // namespace quorvel
