#include "elements/HScanner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "values/HContext.h"
#include "base/FakeRequest.h"
#include "base/HExcept.h"
#include "elements/HElement.h"
#include "elements/HElementTree.h"
#include "template/HFileIo.h"
#include "template/HTagTable.h"
#include "values/HAttributes.h"

using namespace quorvel;

namespace {

class ScannerTest : public ::testing::Test {
protected:
    void Open(std::string text) {
        ctx.templateStream = HInput::FromString(std::move(text));
        ctx.input = ctx.templateStream.get();
    }
    int Next() { return Scan(ctx, element); }
    std::string Rest() {
        std::string s;
        for (int c = ctx.input->Get(); c != HInput::kEof; c = ctx.input->Get())
            s.push_back(static_cast<char>(c));
        return s;
    }
    HContext ctx;
    std::unique_ptr<HElement> element;
};

TEST_F(ScannerTest, TagNamesIgnoreCase) {
    for (const char* t : {"<html>", "<HTML>", "<HtMl>"}) {
        Open(t);
        EXPECT_EQ(Next(), 23) << t;
        EXPECT_EQ(element->TagIndex(), 23);
        EXPECT_EQ(Rest(), ">");
    }
}

TEST_F(ScannerTest, EndTagsAndClosing) {
    Open("<BR><b>x</B >");
    EXPECT_EQ(Next(), 10);
    EXPECT_EQ(ctx.input->Get(), '>');
    EXPECT_EQ(Next(), 44);
    EXPECT_EQ(ctx.input->Get(), '>');
    EXPECT_EQ(Next(), 2);
    EXPECT_EQ(Next(), 79);
    EXPECT_EQ(element, nullptr);
    CloseEndTag(ctx);
    EXPECT_EQ(Next(), 0);
    EXPECT_EQ(Next(), 0);

    // An end tag that closes nothing is read as an unknown tag: an element, or the text of
    // a request's tree followed by the next token.
    Open("</b x>y<I>");
    EXPECT_EQ(Next(), 79);
    EXPECT_EQ(PassEndTag(ctx, 79, element), kTagUnknown);
    EXPECT_EQ(static_cast<HUnknownTagElement&>(*element).Text(), "/B x");
    EXPECT_EQ(Rest(), ">y<I>");
    HElementTree tree;
    ctx.tree = &tree;
    ctx.page = HPage::Temporary();
    Open("</b x>y<I>");
    EXPECT_EQ(ScanInto(ctx, tree, element), 79);
    EXPECT_EQ(PassEndTag(ctx, 79, element), 42);
    tree.Output(ctx, 0, tree.Size());
    EXPECT_EQ(ctx.page->Contents(), "</B x>y");
    ctx.tree = nullptr;

    Open("</B x>");
    EXPECT_EQ(Next(), 79);
    try {
        CloseEndTag(ctx);
        ADD_FAILURE() << "accepted </B x>";
    } catch (const HExcept& e) {
        EXPECT_EQ(e.code, 10);
    }
}

TEST_F(ScannerTest, UnknownTagsKeepTheirText) {
    Open("<foo bar=1>");
    EXPECT_EQ(Next(), 3);
    EXPECT_EQ(static_cast<HUnknownTagElement&>(*element).Text(), "FOO bar=1");
    EXPECT_EQ(Rest(), ">");

    std::string longName(80, 'x');
    Open("<" + longName + " a>");
    EXPECT_EQ(Next(), 3);
    EXPECT_EQ(static_cast<HUnknownTagElement&>(*element).Text(),
              std::string(72, 'X') + std::string(8, 'x') + " a");

    Open("<!-- a > b -->");
    EXPECT_EQ(Next(), 3);
    EXPECT_EQ(static_cast<HUnknownTagElement&>(*element).Text(), "!-- a ");  // ends at the first >
    Open("<br/>");
    EXPECT_EQ(Next(), 3);
    Open("<ab");  // end of input inside the name
    EXPECT_EQ(Next(), 3);
    EXPECT_EQ(static_cast<HUnknownTagElement&>(*element).Text(), "AB");
}

TEST_F(ScannerTest, TextReferencesAndBinaryBytes) {
    Open(std::string("abc@x def\xFF<P>", 13));
    EXPECT_EQ(Next(), 2);
    EXPECT_EQ(static_cast<HTextElement&>(*element).Text(), "abc");
    EXPECT_EQ(Next(), 15);
    EXPECT_EQ(static_cast<HLookupElement&>(*element).Value()->Text(), "x");
    EXPECT_EQ(Next(), 2);
    EXPECT_EQ(static_cast<HTextElement&>(*element).Text(), " def\xFF");
    EXPECT_EQ(Next(), 33);

    Open(std::string("a\0b", 3));
    EXPECT_EQ(Next(), 2);
    EXPECT_EQ(static_cast<HTextElement&>(*element).Text(), "a");
    EXPECT_EQ(Next(), 2);
    EXPECT_EQ(static_cast<HTextElement&>(*element).Text(), std::string("\0b", 2));
}

TEST_F(ScannerTest, CrLfIsOneNewline) {
    Open("a\r\nb\rc");
    EXPECT_EQ(Next(), 2);
    EXPECT_EQ(static_cast<HTextElement&>(*element).Text(), "a\nb\rc");
}

struct AttributeCase {
    const char* input;
    std::vector<std::pair<std::string, std::string>> expected;  // name, GetText ("-" = no value)
    const char* rest;
};

TEST(AttributeReaderTest, Lists) {
    const AttributeCase cases[] = {
        {">x", {}, "x"},
        {" width = 5\t\nheight=\"7\">", {{"WIDTH", "5"}, {"HEIGHT", "7"}}, ""},
        {"checked name=a>", {{"CHECKED", "-"}, {"NAME", "a"}}, ""},
        {"ACCEPT-CHARSET=x>", {{"ACCEPT", "-"}, {"-CHARSET", "x"}}, ""},
        {"=x 9a=1>", {{"=X", "-"}, {"9A", "1"}}, ""},
        {"open", {{"OPEN", "-"}}, ""},
        {"a=b>c", {{"A", "b"}}, "c"},
    };
    for (const auto& c : cases) {
        auto in = HInput::FromString(c.input);
        std::vector<std::pair<std::string, std::string>> got;
        std::string name;
        HValuePtr value;
        while (ReadAttribute(*in, name, value))
            got.emplace_back(name, value ? value->GetText() : "-");
        EXPECT_EQ(got, c.expected) << c.input;
        std::string rest;
        for (int ch = in->Get(); ch != HInput::kEof; ch = in->Get())
            rest.push_back(static_cast<char>(ch));
        EXPECT_EQ(rest, c.rest) << c.input;
    }
}

TEST(AttributeReaderTest, Errors) {
    const std::pair<const char*, int> cases[] = {
        {"a=1 <b>", 12}, {"\"x\"=1>", 12}, {"@x>", 12}, {"(a)>", 12}, {"a=", 11}, {"a=  ", 11},
    };
    for (const auto& c : cases) {
        auto in = HInput::FromString(c.first);
        std::string name;
        HValuePtr value;
        try {
            while (ReadAttribute(*in, name, value)) {
            }
            ADD_FAILURE() << "no error for " << c.first;
        } catch (const HExcept& e) {
            EXPECT_EQ(e.code, c.second) << c.first;
        }
    }
}


// Reads the template file `path` and writes it: into a request's compact tree, or with
// every element an object.
std::string WriteTemplateFile(const std::string& path, bool compact) {
    HContext ctx;
    ctx.symbols.Define("NAME", std::make_unique<HWordValue>("value"));
    HElementTree tree;
    ctx.tree = compact ? &tree : nullptr;
    ctx.page = HPage::Temporary();
    ctx.templateStream = HInput::OpenFile(path);
    ctx.input = ctx.templateStream.get();
    std::unique_ptr<HElement> root;
    EXPECT_EQ(Scan(ctx, root), kTagHtml);
    int status = 1;
    root->Parse(ctx, status);
    root->Output(ctx);
    return ctx.page->Contents();
}

// Pieces that straddle the 64 KB blocks in which a file is read (and the tree's text
// blocks): the page is the one a tree of objects writes. A page of exactly the bound stays
// in memory, one byte more goes to its file, and both are sent whole after their header.
TEST(CompactTreeTest, BlockBoundariesAndThePageSpillBound) {
    std::string t = "<HTML>@NAME ";
    auto padTo = [&t](size_t offset) {
        while (t.size() < offset)
            t += t.size() % 61 ? 'x' : '\n';
    };
    padTo(65535);
    t += "\r\n";  // a CR LF pair
    padTo(131072 - 6);
    t += "<DIV CLASS=\"a\r\nb\">";  // an unknown tag
    padTo(196608 - 3);
    t += "@NAME.@NAME(";  // a reference, then a call (its list refused)
    padTo(262144 - 2);
    t += "<H2 ALIGN=x>@NAME</H2></HTML>";  // a tag name
    char path[] = "/tmp/quorvel-blocks-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, t.data(), t.size()));
    for (bool compact : {true, false}) {
        try {
            WriteTemplateFile(path, compact);
            ADD_FAILURE() << "the call's argument list was not refused";
        } catch (const HExcept& e) {
            EXPECT_EQ(e.code, 28);
        }
    }
    t.replace(t.find("@NAME("), 6, "@NAME ");
    ASSERT_EQ(::pwrite(fd, t.data(), t.size(), 0), static_cast<ssize_t>(t.size()));
    std::string page = WriteTemplateFile(path, true);
    EXPECT_EQ(page, WriteTemplateFile(path, false));
    EXPECT_EQ(page.substr(0, 13), "<HTML>value x");
    EXPECT_EQ(page.find('\r'), std::string::npos);  // both pairs are one LF
    EXPECT_NE(page.find("<DIV CLASS=\"a\nb\">"), std::string::npos);
    EXPECT_NE(page.find("value.value x"), std::string::npos);
    EXPECT_EQ(page.substr(page.size() - 29), "<H2 ALIGN=x>value</H2></HTML>");
    ::close(fd);
    ::unlink(path);

    // Pieces of every short length (copied without a call) come out whole and in order.
    auto pieces = HPage::Temporary();
    std::string expected;
    for (size_t n = 0; n <= 40; ++n) {
        std::string piece;
        for (size_t i = 0; i < n; ++i)
            piece.push_back(static_cast<char>('0' + (n + i * 7) % 75));
        pieces->Write(piece);
        expected += piece;
    }
    EXPECT_EQ(pieces->Contents(), expected);

    const std::string bytes(HPage::kSpillBound, 'p');
    for (const std::string& more : {std::string(), std::string("q")}) {
        auto out = HPage::Temporary();
        out->Write(bytes);
        out->Write(more);
        EXPECT_EQ(out->InMemory(), more.empty());
        EXPECT_EQ(out->Contents(), bytes + more);
        FakeRequest sent;
        EXPECT_TRUE(out->SendTo(sent, "H\n\n"));
        EXPECT_TRUE(sent.response == "H\n\n" + bytes + more) << more;
    }
}

}  // namespace
