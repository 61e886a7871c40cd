#include "template/HInput.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace quorvel;

namespace {

TEST(HInputOffsetTest, CountsRawBytesAndPushBack) {
    struct Case {
        const char* text;
        int gets;
        bool unget;
        size_t offset;
    } cases[] = {
        {"abc", 0, false, 0},
        {"abc", 2, false, 2},
        {"abc", 2, true, 1},      // the pushed-back byte counts as unread
        {"abc", 5, false, 3},     // reading past the end stays at the end
        {"a\r\nb", 2, false, 3},  // CR LF is one byte for Get, two in the file
        {"a\r\nb", 2, true, 2},   // a pushed-back LF of a CR LF: the offset of its LF
        {"a\rb", 2, false, 2},    // a lone CR is an ordinary byte
    };
    for (const Case& c : cases) {
        auto in = HInput::FromString(c.text);
        int last = 0;
        for (int i = 0; i < c.gets; ++i)
            last = in->Get();
        if (c.unget)
            in->Unget(last);
        EXPECT_EQ(in->Offset(), c.offset) << c.text << " after " << c.gets;
    }
}

TEST(HInputOffsetTest, ReadUntilLeavesTheStopByteUnread) {
    bool stops[256] = {};
    stops['<'] = true;
    auto in = HInput::FromString("text\r\nmore<X>");
    std::string out;
    in->ReadUntil(stops, out);
    EXPECT_EQ(out, "text\nmore");
    EXPECT_EQ(in->Offset(), 10u);
    EXPECT_EQ(in->Get(), '<');
}

TEST(HInputOffsetTest, FilesLongerThanOneBlock) {
    // Several read blocks with a CR LF pair on every line. With 3-byte lines, a block
    // boundary (at 131 072 bytes) falls between a CR and its LF.
    for (const char* line : {"0123456789012345678\r\n", "x\r\n"}) {
        char path[] = "/tmp/quorvel-input-XXXXXX";
        int fd = ::mkstemp(path);
        ASSERT_GE(fd, 0);
        ::close(fd);
        std::string text;
        while (text.size() < 200000)
            text += line;
        std::ofstream(path, std::ios::binary) << text;

        auto in = HInput::OpenFile(path);
        ASSERT_TRUE(in);
        size_t length = std::string(line).size();
        size_t lines = 0;
        for (int c = in->Get(); c != HInput::kEof; c = in->Get()) {
            if (c != '\n')
                continue;
            ++lines;
            ASSERT_EQ(in->Offset(), lines * length) << "after line " << lines;
            in->Unget(c);
            ASSERT_EQ(in->Offset(), lines * length - 1) << "LF pushed back, line " << lines;
            in->Get();
        }
        EXPECT_EQ(in->Offset(), text.size());
        std::remove(path);
    }
}

// What is appended to a file after it was opened is not part of the stream; a file that
// was empty then (no size to go by, as some file systems report none) is read to its end.
TEST(HInputOffsetTest, FileEndsAtItsSizeWhenOpened) {
    for (const std::string& text : {std::string("abc\r\n"), std::string()}) {
        char path[] = "/tmp/quorvel-input-XXXXXX";
        int fd = ::mkstemp(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        auto in = HInput::OpenFile(path);
        ASSERT_TRUE(in);
        ASSERT_EQ(::write(fd, "later", 5), 5);
        ::close(fd);
        std::string read;
        for (int c = in->Get(); c != HInput::kEof; c = in->Get())
            read += static_cast<char>(c);
        EXPECT_EQ(read, text.empty() ? "later" : "abc\n");
        std::remove(path);
    }
}

}  // namespace
