#include "config/HConfig.h"

#include <gtest/gtest.h>

#include "values/HContext.h"
#include "base/HExcept.h"

using namespace quorvel;

namespace {

template <class F>
int ErrorOf(F fn) {
    try {
        fn();
    } catch (const HExcept& e) {
        return e.code;
    }
    return -1;
}

TEST(PercentDecodingTest, Paths) {
    EXPECT_EQ(DecodePath("/a%20b.htmx"), "/a b.htmx");
    EXPECT_EQ(DecodePath("/x%2fy"), "/x/y");
    EXPECT_EQ(DecodePath("%41%4a"), "AJ");
    EXPECT_EQ(DecodePath("a+b"), "a+b");
    // Exactly two hexadecimal digits: a blank, a sign or one digit is no escape.
    for (const char* bad : {"%4", "%zz", "%4g", "%", "% 9", "%+9", "%-1", "%\t9", "/a%0"})
        EXPECT_EQ(ErrorOf([bad] { DecodePath(bad); }), 36) << bad;
}

struct QueryCase {
    const char* query;
    std::vector<std::pair<std::string, std::string>> defined;
    std::vector<std::string> undefined;
};

TEST(QueryStringTest, DecodingAndEmptyValues) {
    const QueryCase cases[] = {
        {"a=1&b=x+y%21", {{"a", "1"}, {"b", "x y!"}}, {}},
        {"a=1&b=&c=3", {{"a", "1"}, {"c", "3"}}, {"b"}},
        {"a+b=1", {{"a+b", "1"}}, {"a b"}},
        {"a=1?b=2", {{"a", "1"}, {"b", "2"}}, {}},
        {"x=1&x=2", {{"x", "2"}}, {}},
        {"%5Fn=%3D", {{"_n", "="}}, {}},
        // A repeated row's field sent empty is defined empty, so that it cannot fall back
        // to the first row's value; the plain field still stays undefined.
        {"NOTE=a&NOTE___2=&NOTE___2___3=", {{"NOTE", "a"}, {"NOTE___2", ""}, {"NOTE___2___3", ""}}, {}},
        {"NOTE=&X___=&Y___2x=", {}, {"NOTE", "X___", "Y___2x"}},
        // Reserved names define nothing, with row groups or encoded too; the two form
        // fields do.
        {"_CONNECT_=x&_REMOTE_USER____2=a&%5FSTAT_FILE%5F=f&_=1&A_=3", {{"A_", "3"}},
         {"_CONNECT_", "_REMOTE_USER____2", "_STAT_FILE_", "_"}},
        {"_POST_PROCESS_=p&_MAX_NAME_MODIFIER_=___2&_POST_PROCESS____2=q",
         {{"_POST_PROCESS_", "p"}, {"_MAX_NAME_MODIFIER_", "___2"}}, {"_POST_PROCESS____2"}},
    };
    for (const auto& c : cases) {
        HContext ctx;
        DefineQueryVariables(ctx, c.query, c.query);
        for (const auto& d : c.defined) {
            const HValue* v = ctx.symbols.Lookup(d.first);
            ASSERT_TRUE(v) << c.query << ": " << d.first;
            EXPECT_EQ(v->Kind(), HValue::kWord);
            EXPECT_EQ(v->Text(), d.second) << c.query;
        }
        for (const auto& u : c.undefined)
            EXPECT_FALSE(ctx.symbols.Contains(u)) << c.query << ": " << u;
    }
}

TEST(QueryStringTest, Errors) {
    const std::pair<const char*, int> cases[] = {{"a=1&", 38}, {"word", 38}, {"a=%G1", 36}, {"x=%+A", 36},
                                                 {"x=% A", 36}, {"x=%-1", 36}, {"%A=1", 36}};
    for (const auto& c : cases) {
        HContext ctx;
        try {
            DefineQueryVariables(ctx, c.first, c.first);
            ADD_FAILURE() << "no error for " << c.first;
        } catch (const HExcept& e) {
            EXPECT_EQ(e.code, c.second) << c.first;
            if (e.code == 38) {
                EXPECT_EQ(e.detail, c.first);
            }
        }
    }
}

}  // namespace
