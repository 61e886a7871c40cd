// HPage: the page buffer every element writes into.
//
// It owns a read/write file: an anonymous temporary file (deleted when closed) for a
// normal request, or the debug log when debugging is on, and a write buffer in front of
// it, so that many small writes cost one system call per 64 KB. Nothing reaches standard
// output until the request has ended without error; then CopyTo sends the buffered bytes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

class HPage {
public:
    // An anonymous temporary file; nullptr when none can be created.
    static std::unique_ptr<HPage> Temporary();
    // `path` created or truncated for reading and writing; nullptr when it cannot be.
    static std::unique_ptr<HPage> OpenLog(const std::string& path);

    ~HPage();
    HPage(const HPage&) = delete;
    HPage& operator=(const HPage&) = delete;

    void Write(const char* data, size_t size) {
        if (size <= kBufferSize - used_) {
            std::char_traits<char>::copy(buffer_.get() + used_, data, size);
            used_ += size;
        } else {
            WriteSlow(data, size);
        }
    }
    void Write(std::string_view s) { Write(s.data(), s.size()); }

    // Writes the buffered bytes to the file.
    void Flush();
    // Flushes and copies the whole file, from its start, to `fd`. False when writing to
    // `fd` failed.
    bool CopyTo(int fd);
    // Everything written so far (tests and diagnostics).
    std::string Contents();

private:
    static constexpr size_t kBufferSize = 64 * 1024;
    explicit HPage(int fd);
    void WriteSlow(const char* data, size_t size);

    int fd_;
    std::unique_ptr<char[]> buffer_;
    size_t used_ = 0;
};
