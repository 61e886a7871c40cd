// HPage: the page buffer every element writes into.
//
// It owns a read/write FILE*: an anonymous temporary file (deleted when closed) for a
// normal request, or the debug log when debugging is on. Nothing reaches standard output
// until the request has ended without error; then CopyTo sends the buffered bytes.
#pragma once

#include <cstdio>
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
        if (size)
            std::fwrite(data, 1, size, file_);
    }
    void Write(std::string_view s) { Write(s.data(), s.size()); }

    // Flushes and copies everything written so far, from the start, to `fd`.
    // Returns false when writing to `fd` failed.
    bool CopyTo(int fd);
    void Flush() { std::fflush(file_); }
    // Everything written so far (tests and diagnostics).
    std::string Contents();

private:
    explicit HPage(FILE* f);
    FILE* file_;
    std::unique_ptr<char[]> buffer_;
};
