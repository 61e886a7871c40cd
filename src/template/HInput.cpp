#include "template/HInput.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quorvel {

namespace {
constexpr size_t kBlock = 64 * 1024;

int OpenForReading(const std::string& path, HInput::Links links) {
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    if (links == HInput::kFollow)
        return ::open(path.c_str(), kFlags);
    // One call resolves every part without following a link or leaving the directory; a
    // kernel without it refuses (ENOSYS), and the caller looks at the parts itself.
    open_how how{};
    how.flags = kFlags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how));
}
}  // namespace

std::unique_ptr<HInput> HInput::OpenFile(const std::string& path, Links links) {
    if (path.empty() || path.find('\0') != std::string::npos)
        return nullptr;
    HFd fd(OpenForReading(path, links));
    if (!fd)
        return nullptr;
    struct stat st;
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    std::unique_ptr<HInput> in(new HInput());
    in->fd_ = std::move(fd);
    in->size_ = static_cast<size_t>(st.st_size);
    in->stamp_ = HFileStamp::Of(st);
    // A block no larger than the file: a small file costs a small allocation (freeing a
    // large one makes the allocator consolidate its free lists, once per file read).
    in->block_ = in->size_ > 0 && in->size_ < kBlock ? in->size_ : kBlock;
    in->buffer_.reset(new char[in->block_]);
    in->pos_ = in->end_ = in->buffer_.get();
    return in;
}

std::unique_ptr<HInput> HInput::FromString(std::string text) {
    std::unique_ptr<HInput> in(new HInput());
    in->text_ = std::move(text);
    in->pos_ = in->text_.data();
    in->end_ = in->pos_ + in->text_.size();
    return in;
}

HInput::~HInput() = default;

HFileStamp HFileStamp::Of(const struct stat& st) {
    HFileStamp stamp;
    stamp.dev = st.st_dev;
    stamp.ino = st.st_ino;
    stamp.size = st.st_size;
    stamp.modified = st.st_mtim;
    stamp.changed = st.st_ctim;
    return stamp;
}

bool HFileStamp::Settled(const timespec& before) const {
    for (const timespec& t : {modified, changed}) {
        if (t.tv_nsec == 0 ? t.tv_sec + 2 > before.tv_sec
                           : t.tv_sec > before.tv_sec || (t.tv_sec == before.tv_sec && t.tv_nsec >= before.tv_nsec))
            return false;
    }
    return true;
}

timespec CoarseClock() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return now;
}

bool HInput::Fill() {
    if (!fd_)
        return false;
    blockOffset_ += static_cast<size_t>(end_ - buffer_.get());
    // Once the size the file had when opened has been delivered, the stream ends without a
    // read to learn it (a file that reports no size, as some file systems do, is read to
    // its end).
    for (;;) {
        ssize_t n = size_ > 0 && blockOffset_ >= size_ ? 0 : ::read(fd_.Get(), buffer_.get(), block_);
        if (n > 0) {
            pos_ = buffer_.get();
            end_ = pos_ + n;
            return true;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // End of file or a read error: the stream ends here for good.
        fd_.Reset();
        pos_ = end_ = buffer_.get();
        return false;
    }
}

size_t HInput::Offset() const {
    const char* block = buffer_ ? buffer_.get() : text_.data();
    return blockOffset_ + static_cast<size_t>(pos_ - block) - (pushed_ != kNone ? 1 : 0);
}

void HInput::ReadUntil(const bool* stops, std::string& out) {
    if (pushed_ != kNone) {
        if (stops[pushed_ & 0xFF])
            return;
        out.push_back(static_cast<char>(pushed_));
        pushed_ = kNone;
    }
    for (;;) {
        if (pos_ == end_ && !Fill())
            return;
        const char* p = pos_;
        while (p != end_ && !stops[static_cast<unsigned char>(*p)] && *p != '\r')
            ++p;
        out.append(pos_, p);
        pos_ = p;
        if (p == end_)
            continue;
        if (*p != '\r')
            return;  // a stopping byte, left in the buffer
        // A carriage return: let Get fold a CR LF pair into one LF.
        int c = Get();
        if (stops[c & 0xFF]) {
            Unget(c);
            return;
        }
        out.push_back(static_cast<char>(c));
    }
}

}  // namespace quorvel
