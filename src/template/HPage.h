// HPage: the page buffer every element writes into.
//
// A normal request's page is kept in memory, in one buffer that grows as needed, and goes
// to an anonymous temporary file (deleted when closed) only when it outgrows kSpillBound:
// from then on the buffer is the file's write buffer. The debug log is a file from the
// start, with a 64 KB write buffer in front of it. Nothing reaches standard output until
// the request has ended without error; then SendTo sends the page, written once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "base/HRequest.h"
#include "template/HFileIo.h"

namespace quorvel {

// Copies the first and the last sizeof(Word) bytes of `n` (sizeof(Word) <= n <= 2 *
// sizeof(Word)), which together are all of them.
template <class Word>
inline void CopyEnds(char* to, const char* from, size_t n) {
    Word head, tail;
    std::memcpy(&head, from, sizeof(Word));
    std::memcpy(&tail, from + n - sizeof(Word), sizeof(Word));
    std::memcpy(to, &head, sizeof(Word));
    std::memcpy(to + n - sizeof(Word), &tail, sizeof(Word));
}

// Copies `n` bytes to `to` (the two do not overlap). Most pieces of a page are short: up
// to 16 bytes they are moved in two loads and two stores, without a call.
inline void CopyBytes(char* to, const char* from, size_t n) {
    if (n > 16) {
        std::memcpy(to, from, n);
    } else if (n >= 8) {
        CopyEnds<uint64_t>(to, from, n);
    } else if (n >= 4) {
        CopyEnds<uint32_t>(to, from, n);
    } else if (n > 0) {
        const char first = from[0], middle = from[n / 2], last = from[n - 1];
        to[0] = first;
        to[n / 2] = middle;
        to[n - 1] = last;
    }
}

class HPage {
public:
    // The largest page kept in memory only.
    static constexpr size_t kSpillBound = size_t(8) << 20;

    // A page in memory, spilling to a temporary file beyond kSpillBound. Never null: the
    // file is created only when it is needed.
    static std::unique_ptr<HPage> Temporary();
    // `path` created or truncated for reading and writing; nullptr when it cannot be.
    static std::unique_ptr<HPage> OpenLog(const std::string& path);

    ~HPage();
    HPage(const HPage&) = delete;
    HPage& operator=(const HPage&) = delete;

    void Write(const char* data, size_t size) {
        if (size <= capacity_ - used_) {
            CopyBytes(buffer_ + used_, data, size);
            used_ += size;
        } else {
            WriteSlow(data, size);
        }
    }
    void Write(std::string_view s) { Write(s.data(), s.size()); }

    // Writes the buffered bytes to the file, when there is one; a page still in memory
    // stays there.
    void Flush();
    // Sends `head` and then the whole page, from its start, as the response of `request`.
    // False when sending failed.
    bool SendTo(HRequest& request, std::string_view head = std::string_view());
    // Everything written so far (tests and diagnostics).
    std::string Contents();
    // Whether the page is still in memory only.
    bool InMemory() const { return !fd_; }
    // The page while it is in memory, and forgetting it.
    // REQUIRES: InMemory().
    std::string_view View() const { return std::string_view(buffer_, used_); }
    void Clear() { used_ = 0; }

private:
    static constexpr size_t kFileBuffer = 64 * 1024;
    HPage(int fd, size_t bound);
    void WriteSlow(const char* data, size_t size);

    HFd fd_;         // none while a temporary page is in memory
    size_t bound_;   // the buffer grows up to this size before it is written to the file
    char* buffer_ = nullptr;  // malloc'ed, so that growing a large buffer need not copy it
    size_t capacity_ = 0;
    size_t used_ = 0;
};

}  // namespace quorvel
