#include "values/HValueParser.h"

#include <gtest/gtest.h>

#include "values/HContext.h"
#include "base/HExcept.h"
#include "template/HInput.h"
#include "values/HWriter.h"

using namespace quorvel;

namespace {

std::string Rest(HInput& in) {
    std::string s;
    for (int c = in.Get(); c != HInput::kEof; c = in.Get())
        s.push_back(static_cast<char>(c));
    return s;
}

struct ParseCase {
    const char* input;
    int kind;
    const char* text;  // GetText of the value
    const char* rest;  // what stays in the stream
};

TEST(ValueParserTest, FormsAndWhatStaysInTheStream) {
    const ParseCase cases[] = {
        {"abc>", HValue::kWord, "abc", ">"},
        {"  \"x\" y", HValue::kQuoted, "x", " y"},
        {"\"say \"\"hi\"\"\"", HValue::kQuoted, "say \"hi\"", ""},
        {"\"a@x b\"", HValue::kQuoted, "ax b", ""},
        {"@@x", HValue::kLiteral, "@", "x"},
        {"@name rest", HValue::kVarRef, "name", " rest"},
        {"@name (a)", HValue::kVarRef, "name", " (a)"},
        {"@FIXED_WIDTH(a,5)!", HValue::kFuncCall, "FIXED_WIDTH", "!"},
        {"@ x", HValue::kVarRef, "", " x"},
        {"(a, b ,c)z", HValue::kParamList, "", "z"},
        {"),x", HValue::kWord, ")", ",x"},
        {"a\rb c", HValue::kWord, "a\rb", " c"},
        {"a\r\nb", HValue::kWord, "a", "\nb"},
        {"\"line1\r\nline2\"", HValue::kQuoted, "line1\nline2", ""},
    };
    for (const auto& c : cases) {
        auto in = HInput::FromString(c.input);
        HValuePtr v;
        EXPECT_EQ(ParseValue(*in, v), c.kind) << c.input;
        ASSERT_TRUE(v) << c.input;
        EXPECT_EQ(v->Kind(), c.kind) << c.input;
        EXPECT_EQ(v->GetText(), c.text) << c.input;
        EXPECT_EQ(Rest(*in), c.rest) << c.input;
    }
}

TEST(ValueParserTest, ListsCountTheirItems) {
    const std::pair<const char*, size_t> cases[] = {
        {"(a, b ,c)", 3}, {"(a,)", 1}, {"()", 0}, {"( (x,y), \"q\", @r, @f(1,2) )", 4},
    };
    for (const auto& c : cases) {
        auto in = HInput::FromString(c.first);
        HValuePtr v;
        ASSERT_EQ(ParseValue(*in, v), HValue::kParamList) << c.first;
        EXPECT_EQ(static_cast<HParamList&>(*v).Items().size(), c.second) << c.first;
    }
}

TEST(ValueParserTest, QuotedStringPieces) {
    auto in = HInput::FromString("\"@x\"");
    HValuePtr v;
    ASSERT_EQ(ParseValue(*in, v), HValue::kQuoted);
    const auto& pieces = static_cast<HQuotedValue&>(*v).Pieces();
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0]->Kind(), HValue::kLiteral);
    EXPECT_EQ(pieces[0]->Text(), "");
    EXPECT_EQ(pieces[1]->Kind(), HValue::kVarRef);
    EXPECT_EQ(pieces[2]->Text(), "");
}

TEST(ValueParserTest, ErrorsAndEndOfInput) {
    const std::pair<const char*, int> errors[] = {
        {"\"abc", 11}, {"(a b)", 28}, {"(a", 28}, {"(a,", 28}, {"@f(a", 28}, {"\"x@f(a\"", 28},
    };
    for (const auto& e : errors) {
        auto in = HInput::FromString(e.first);
        HValuePtr v;
        try {
            ParseValue(*in, v);
            ADD_FAILURE() << "no error for " << e.first;
        } catch (const HExcept& x) {
            EXPECT_EQ(x.code, e.second) << e.first;
            EXPECT_EQ(x.detail, "") << e.first;
        }
    }
    auto in = HInput::FromString("   ");
    HValuePtr v;
    EXPECT_EQ(ParseValue(*in, v), 0);
    EXPECT_FALSE(v);
}

TEST(ValueParserTest, DeepNestingIsRefusedNotFatal) {
    std::string deep(100000, '(');
    auto in = HInput::FromString(deep);
    HValuePtr v;
    try {
        ParseValue(*in, v);
        ADD_FAILURE() << "deep nesting accepted";
    } catch (const HExcept& x) {
        EXPECT_EQ(x.code, 28);
    }
    std::string ok = std::string(50, '(') + std::string(50, ')');
    auto in2 = HInput::FromString(ok);
    EXPECT_EQ(ParseValue(*in2, v), HValue::kParamList);
}

// Evaluation of parsed values against a symbol table.
class ValueEvaluationTest : public ::testing::Test {
protected:
    std::string Eval(const char* text) {
        auto in = HInput::FromString(text);
        HValuePtr v;
        ParseValue(*in, v);
        return v->Evaluate(ctx, nullptr);
    }
    int ErrorOf(const char* text) {
        try {
            Eval(text);
        } catch (const HExcept& e) {
            return e.code;
        }
        return -1;
    }
    void Define(const char* name, const char* valueText) {
        auto in = HInput::FromString(valueText);
        HValuePtr v;
        ParseValue(*in, v);
        ctx.symbols.Define(name, std::move(v));
    }
    HContext ctx;
};

TEST_F(ValueEvaluationTest, FixedWidthPadsAndCuts) {
    Define("X", "abc");
    Define("Y", "abcdefg");
    EXPECT_EQ(Eval("@FIXED_WIDTH(@X,5)"), "abc  ");
    EXPECT_EQ(Eval("@FIXED_WIDTH(@Y,5)"), "abcde");
    EXPECT_EQ(Eval("@fixed_width(a,5)"), "a    ");
    EXPECT_EQ(Eval("@FIXED_WIDTH(a, +3)"), "a  ");
    EXPECT_EQ(ErrorOf("@FIXED_WIDTH(a)"), 21);
    EXPECT_EQ(ErrorOf("@FIXED_WIDTH(a,5,6)"), 21);
    EXPECT_EQ(ErrorOf("@OTHER(a,5)"), 21);
    EXPECT_EQ(ErrorOf("@FIXED_WIDTH(a,0)"), 23);
    EXPECT_EQ(ErrorOf("@FIXED_WIDTH(a,x)"), 23);
    EXPECT_EQ(ErrorOf("@FIXED_WIDTH(a,999999999999)"), 23);
    Define("E", "\"x&#34;y\"");
    EXPECT_EQ(Eval("@FIXED_WIDTH(@E,4)"), "x&#34;y ");
}

// A reference and a UTF-8 sequence are one character each and never cut; a bare `&`, a
// broken reference and a byte that starts no sequence count as one.
TEST(FitToWidthTest, CountsCharactersAsShown) {
    const struct {
        const char* text;
        size_t width;
        const char* out;
    } cases[] = {
        {"a&#60;b", 3, "a&#60;b"},          {"a&#60;b", 2, "a&#60;"},
        {"a&#60;b", 1, "a"},                {"&amp;&#x3C;", 3, "&amp;&#x3C; "},
        {"Zo\xC3\xA9", 4, "Zo\xC3\xA9 "},   {"\xE6\xBC\xA2\xE5\xAD\x97", 1, "\xE6\xBC\xA2"},
        {"\xF0\x9F\x8D\xB5x", 1, "\xF0\x9F\x8D\xB5"},
        {"a & b", 3, "a &"},                {"&#;&#x;&;", 3, "&#;"},
        {"&#60", 2, "&#"},                  {"&1a;", 2, "&1"},
        {"\xC3(", 1, "\xC3"},               {"\xE0\x80\x80", 2, "\xE0\x80"},
        {"\xE6\xBC", 1, "\xE6"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FitToWidth(c.text, c.width), c.out) << c.text << " / " << c.width;
}

// Data for running text: the five bytes that could open markup or end a quoted value as
// references, a line break (LF or CR LF) as <BR>, a lone CR as it is; a zero byte ends it.
TEST(EscapeForHtmlTest, ReferencesLineBreaksAndTheZeroByte) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain text", "plain text"},     {"a<b>c", "a&#60;b&#62;c"},     {"&\"'", "&#38;&#34;'"},
        {"a\nb", "a<BR>b"},               {"a\r\nb", "a<BR>b"},           {"a\rb\r", "a\rb\r"},
        {"\r\r\n\n", "\r<BR><BR>"},      {std::string("x\0<y", 4), "x"}, {"", ""},
        {std::string(64, '"'), [] { std::string r; for (int i = 0; i < 64; ++i) r += "&#34;"; return r; }()},
        {std::string(70, 'a') + "<\r\n&\r", std::string(70, 'a') + "&#60;<BR>&#38;\r"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EscapeForHtml(c.first), c.second) << c.first;
        std::string out = "kept<";  // appended after what is there
        AppendEscapedHtml(out, c.first);
        EXPECT_EQ(out, "kept<" + c.second) << c.first;
    }
}

TEST_F(ValueEvaluationTest, ReferencesAndKinds) {
    Define("W", "abc");
    Define("Q", "\"<@W>\"");
    Define("L", "(1,2)");
    EXPECT_EQ(Eval("@W"), "abc");
    EXPECT_EQ(Eval("@Q"), "<abc>");
    EXPECT_EQ(Eval("\"[@Q]\""), "[<abc>]");
    EXPECT_EQ(ErrorOf("@L"), 13);
    EXPECT_EQ(ErrorOf("@w"), 9);
    EXPECT_EQ(ErrorOf("@ "), 9);
}

TEST_F(ValueEvaluationTest, SelfReferenceIsAnErrorNotACrash) {
    Define("A", "@B");
    Define("B", "\"x@A\"");
    try {
        Eval("@A");
        ADD_FAILURE() << "self reference evaluated";
    } catch (const HExcept& e) {
        EXPECT_EQ(e.code, 9);
        EXPECT_TRUE(e.detail == "A" || e.detail == "B") << e.detail;
    }
    // A long but finite chain still evaluates.
    Define("C0", "end");
    for (int i = 1; i <= 60; ++i)
        Define(("C" + std::to_string(i)).c_str(), ("@C" + std::to_string(i - 1)).c_str());
    EXPECT_EQ(Eval("@C60"), "end");
}

// Fuzz-found (configuration): forty variables, each referring twice to the one before,
// took 2^40 steps and never answered.
TEST_F(ValueEvaluationTest, MultiplyingReferencesEndInAnErrorNotAHang) {
    struct Case {
        const char* name;
        const char* base;  // value of V0
        int levels;
        int expected;      // error code, or -1 when it evaluates
    };
    const Case cases[] = {
        {"empty base: no text grows, only the steps", "\"\"", 40, 9},
        {"long base: the text grows past the bound", "\"abcdefghijklmnopqrstuvwxyz\"", 40, 9},
        {"a modest doubling still evaluates", "ab", 10, -1},
    };
    for (const auto& c : cases) {
        Define("V0", c.base);
        for (int i = 1; i <= c.levels; ++i) {
            std::string prev = "@V" + std::to_string(i - 1);
            Define(("V" + std::to_string(i)).c_str(), ("\"" + prev + prev + "\"").c_str());
        }
        std::string top = "@V" + std::to_string(c.levels);
        EXPECT_EQ(ErrorOf(top.c_str()), c.expected) << c.name;
        EXPECT_EQ(ctx.evalDepth, 0) << c.name;
    }
    EXPECT_EQ(Eval("@V10").size(), 2u * 1024u);
}

}  // namespace
