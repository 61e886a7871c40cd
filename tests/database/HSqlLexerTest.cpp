#include "database/HSqlLexer.h"

#include <gtest/gtest.h>

#include <string>

#include "base/HExcept.h"

using namespace quorvel;

namespace {

TEST(HSqlLexerTest, TokenKindsAndSpans) {
    struct Row {
        const char* text;
        int kind;
        const char* span;
    };
    const Row rows[] = {
        {"  \n\tword rest", kSqlWord, "  \n\tword"},
        {" 'a b' x", kSqlLiteral, " 'a b'"},
        {"'open", kSqlLiteral, "'open"},
        {" wHeRe", kSqlWhere, " wHeRe"},
        {"INTERSECT", kSqlIntersect, "INTERSECT"},
        {"\r\n\fx", kSqlWord, "\r\n\fx"},
        {"\v", kSqlOther, "\v"},
        {" ; x", kSqlSemicolon, " ;"},
        {"   ", kSqlEnd, "   "},
        // Tokens end where PostgreSQL ends them: bytes of 0x80 and above and `$` continue
        // a name, a number ends before a letter, a lone E before a quote opens an E'' literal.
        {"x\xFFy z", kSqlWord, "x\xFFy"},
        {"a$$ b", kSqlWord, "a$$"},
        {"12e3AND", kSqlWord, "12e3"},
        {"1WHERE", kSqlWord, "1"},
        {"0.E1E'x'", kSqlWord, "0.E1"},
        {".5e-3x", kSqlWord, ".5e-3"},
        {"1..5", kSqlWord, "1"},
        {"E'a\\'b' c", kSqlLiteral, "E'a\\'b'"},
        {"xE'a'", kSqlWord, "xE"},
        {"$q$ it's $q$ x", kSqlWord, "$q$ it's $q$"},
    };
    for (const Row& r : rows) {
        std::size_t pos = 0;
        std::string_view span;
        EXPECT_EQ(NextSqlToken(r.text, pos, span), r.kind) << r.text;
        EXPECT_EQ(span, r.span) << r.text;
    }
    std::size_t pos = 0;
    std::string_view span;
    std::string withNul("a\0b", 3);
    EXPECT_EQ(NextSqlToken(withNul, pos, span), kSqlWord);
    EXPECT_EQ(NextSqlToken(withNul, pos, span), kSqlEnd);
    EXPECT_EQ(NextSqlToken(withNul, pos, span), kSqlEnd);
    EXPECT_EQ(pos, 1u);
}

TEST(HSqlLexerTest, BareValues) {
    for (const char* good : {"0", "-3.5", "+7", "1,2", "1 , 2,3", "7.", ".5", "-.5", "+7., .5"})
        EXPECT_TRUE(IsBareSqlValue(good)) << good;
    for (const char* bad : {"", " 1", "1 ", "1,", ",1", "1e5", "a.b", "2abc", "a-b", "--", "price_2",
                            "_x", "a1", "id", "1.2.3", ".", "-.", "1e5x", "..5", "7..", "5,."})
        EXPECT_FALSE(IsBareSqlValue(bad)) << bad;
}

TEST(HSqlLexerTest, SubstitutionReportsItsErrors) {
    int index = 0;
    EXPECT_EQ(SubstituteParameters("a = ? AND b = '?'", {"1", "x'y"}, index), "a = 1 AND b = 'x''y'");
    EXPECT_EQ(index, 2);
    index = 0;
    try {
        SubstituteParameters("a = ? + ?", {"1", ""}, index);
        FAIL() << "no error for an empty value";
    } catch (const HExcept& e) {
        EXPECT_EQ(e.code, 41);
    }
}

}  // namespace
