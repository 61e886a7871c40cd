// HInput: a buffered, read-only byte stream over a template, an included file or the
// configuration file.
//
// It owns its file descriptor (or an in-memory copy of a text) and delivers one byte at a
// time with one byte of push-back, reading the file in large blocks so that no system call
// is made per byte. Reading is in text mode: each CR LF pair is delivered as a single LF;
// a CR not followed by LF is an ordinary byte. Only regular files are opened, so a path
// that names a directory, a device or a pipe counts as not found and can never block.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include "template/HFileIo.h"

namespace quorvel {

// What tells a file's content apart without reading it: device, inode, size, and the
// modification and change times to the nanosecond. Any write, rename over it, link swap or
// change of mode gives the path another stamp, unless the change falls in the same tick of
// the file system's clock as the stamp itself (see Settled).
struct HFileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec modified{}, changed{};

    bool operator==(const HFileStamp& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && modified.tv_sec == o.modified.tv_sec &&
               modified.tv_nsec == o.modified.tv_nsec && changed.tv_sec == o.changed.tv_sec &&
               changed.tv_nsec == o.changed.tv_nsec;
    }
    bool operator!=(const HFileStamp& o) const { return !(*this == o); }
    // The stamp of the file `st` describes.
    static HFileStamp Of(const struct stat& st);
    // Whether every later change of the file must give it another stamp: its times lie
    // before `before`, a reading of the coarse real-time clock (the one file times are
    // taken from) made before the file was opened. A file system that keeps whole seconds
    // (or two) only shows it by times without nanoseconds: those must lie two seconds back.
    bool Settled(const timespec& before) const;
};

// The coarse real-time clock now: the clock the kernel stamps files with.
timespec CoarseClock();

class HInput {
public:
    static constexpr int kEof = -1;

    // Opens a regular file for reading; nullptr when it cannot be opened. The stream ends
    // at the size the file had when it was opened (a file that grows while it is read
    // may deliver more).
    // How the path's symbolic links are taken: followed, or (kBeneath, for a relative
    // `path`) nullptr when any part of it is one or it leads out of the working directory,
    // and where the system cannot tell.
    enum Links { kFollow, kBeneath };
    static std::unique_ptr<HInput> OpenFile(const std::string& path, Links links = kFollow);
    // A stream over a copy of `text` (tests, and values read from strings).
    static std::unique_ptr<HInput> FromString(std::string text);

    ~HInput();
    HInput(const HInput&) = delete;
    HInput& operator=(const HInput&) = delete;

    // The next byte (0..255), or kEof at the end of the stream (and at every call after it).
    int Get() {
        if (pushed_ != kNone) {
            int c = pushed_;
            pushed_ = kNone;
            return c;
        }
        if (pos_ == end_ && !Fill())
            return kEof;
        unsigned char c = static_cast<unsigned char>(*pos_++);
        if (c == '\r') {
            if (pos_ == end_ && !Fill())
                return '\r';
            if (*pos_ == '\n') {
                ++pos_;
                return '\n';
            }
        }
        return c;
    }

    // Pushes one byte back; the next Get returns it. Pushing back kEof does nothing, as
    // the stream is at its end anyway.
    // REQUIRES: at most one byte is pushed back between two calls of Get.
    void Unget(int c) {
        if (c != kEof)
            pushed_ = c;
    }

    // Appends bytes to `out` until a byte that `stops` marks (a 256-entry table), or the
    // end of the stream. The stopping byte is left in the stream. Equivalent to calling
    // Get and Unget byte by byte, but without the per-byte call overhead.
    void ReadUntil(const bool* stops, std::string& out);

    // The bytes of the block read that are not delivered yet (empty while a byte is pushed
    // back), to look ahead without reading; Skip(n) then delivers n of them unseen.
    std::string_view Ahead() const {
        return pushed_ != kNone ? std::string_view() : std::string_view(pos_, static_cast<size_t>(end_ - pos_));
    }
    // REQUIRES: n <= Ahead().size().
    void Skip(size_t n) { pos_ += n; }

    // The byte offset in the file (or text) of the next byte Get will deliver; a
    // pushed-back byte counts as unread. A pushed-back LF that stood for a CR LF pair
    // gives the offset of its LF. Costs nothing while reading: the block's offset is kept
    // when a block is read, the rest is derived from the buffer position.
    size_t Offset() const;

    // The file the stream reads, by device and inode (0 0 for a text), and its stamp when it
    // was opened (all zero for a text).
    dev_t Device() const { return stamp_.dev; }
    ino_t Inode() const { return stamp_.ino; }
    const HFileStamp& Stamp() const { return stamp_; }

private:
    static constexpr int kNone = -2;
    HInput() = default;
    bool Fill();

    HFd fd_;
    std::unique_ptr<char[]> buffer_;
    std::string text_;  // whole content when reading from memory
    const char* pos_ = nullptr;
    const char* end_ = nullptr;
    size_t blockOffset_ = 0;  // file offset of the current block's first byte
    size_t size_ = 0;         // of the file when opened: its end, without a read to learn it
    size_t block_ = 0;        // the size of buffer_
    int pushed_ = kNone;
    HFileStamp stamp_;
};

}  // namespace quorvel
