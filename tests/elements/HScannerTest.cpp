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

// Reads through a tree that keeps its tokens, so that each token read shows.
class ScannerTest : public ::testing::Test {
protected:
    ScannerTest() {
        ctx.symbols.Define("x", std::make_unique<HWordValue>("V"));
    }
    void Open(std::string text) {
        tree = std::make_unique<HElementTree>(true);
        ctx.tree = tree.get();
        ctx.templateStream = HInput::FromString(std::move(text));
        ctx.input = ctx.templateStream.get();
    }
    int Next() { return ScanInto(ctx, *tree, element); }
    std::string Rest() {
        std::string s;
        for (int c = ctx.input->Get(); c != HInput::kEof; c = ctx.input->Get())
            s.push_back(static_cast<char>(c));
        return s;
    }
    // What the tree writes.
    std::string Written() {
        ctx.page = HPage::Temporary();
        tree->Output(ctx, 0, tree->Size());
        return ctx.page->Contents();
    }
    // The tokens read into the tree and where each starts: T text, U unknown tag, E end tag,
    // @ at-sign expression.
    std::string Tokens() {
        std::string out;
        tree->Visit(0, tree->Size(), [&](const HElementTree::PieceView& p) {
            if (p.kind == HElementTree::PieceView::kValue)
                out += " @" + std::to_string(p.offset);
            else if (p.kind == HElementTree::PieceView::kToken)
                out += std::string(" ") + (p.token == kTagText ? 'T' : p.token == kTagUnknown ? 'U' : 'E') +
                       std::to_string(p.offset);
        });
        return out;
    }
    HContext ctx;
    std::unique_ptr<HElementTree> tree;
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
    EXPECT_EQ(Next(), 79);
    EXPECT_EQ(element, nullptr);
    CloseEndTag(ctx);
    EXPECT_EQ(Next(), 0);
    EXPECT_EQ(Next(), 0);
    EXPECT_EQ(Tokens(), " T7 E8");

    // An end tag that closes nothing is text, followed by the next token.
    Open("</b x>y<I>");
    EXPECT_EQ(Next(), 79);
    EXPECT_EQ(PassEndTag(ctx, 79, element), 42);
    EXPECT_EQ(Written(), "</B x>y");
    EXPECT_EQ(Tokens(), " E0 U0 T6");

    Open("</B x>");
    EXPECT_EQ(Next(), 79);
    try {
        CloseEndTag(ctx);
        ADD_FAILURE() << "accepted </B x>";
    } catch (const HExcept& e) {
        EXPECT_EQ(e.code, 10);
    }
}

TEST_F(ScannerTest, TokensAndTheirText) {
    const struct {
        std::string input, written, tokens;
    } cases[] = {
        {"<foo bar=1>", "<FOO bar=1>", " U0"},
        {"<" + std::string(80, 'x') + " a>", "<" + std::string(72, 'X') + std::string(8, 'x') + " a>", " U0"},
        {"<!-- a > b -->", "<!-- a > b -->", " U0 T8"},  // ends at the first >
        {"<br/>", "<BR/>", " U0"},
        {"<ab", "<AB>", " U0"},  // end of input inside the name
        {"abc@x def\xFF", "abcV def\xFF", " T0 @3 T5"},
        {std::string("a\0b", 3), std::string("a\0b", 3), " T0 T1"},
        {"a\r\nb\rc", "a\nb\rc", " T0"},  // CR LF is one line end
    };
    for (const auto& c : cases) {
        Open(c.input);
        EXPECT_EQ(Next(), 0) << c.input;
        EXPECT_EQ(Written(), c.written) << c.input;
        EXPECT_EQ(Tokens(), c.tokens) << c.input;
    }
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


// Reads the template file `path` into a request's tree and writes it.
std::string WriteTemplateFile(const std::string& path) {
    HContext ctx;
    ctx.symbols.Define("NAME", std::make_unique<HWordValue>("value"));
    HElementTree tree;
    ctx.tree = &tree;
    ctx.page = HPage::Temporary();
    ctx.templateStream = HInput::OpenFile(path);
    ctx.input = ctx.templateStream.get();
    int status = 1;
    EXPECT_EQ(HElement::ReadDocument(ctx, status), kTagHtml);
    tree.Output(ctx, 0, tree.Size());
    return ctx.page->Contents();
}

// Pieces that straddle the 64 KB blocks in which a file is read (and the tree's text
// blocks) are read whole. A page of exactly the bound stays
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
    try {
        WriteTemplateFile(path);
        ADD_FAILURE() << "the call's argument list was not refused";
    } catch (const HExcept& e) {
        EXPECT_EQ(e.code, 28);
    }
    t.replace(t.find("@NAME("), 6, "@NAME ");
    ASSERT_EQ(::pwrite(fd, t.data(), t.size(), 0), static_cast<ssize_t>(t.size()));
    std::string page = WriteTemplateFile(path);
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
