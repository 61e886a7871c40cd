#include "values/HNameModifier.h"

#include <gtest/gtest.h>

#include "values/HContext.h"
#include "base/HExcept.h"

using namespace quorvel;

namespace {

TEST(NameModifierTest, FirstInstance) {
    for (const char* yes : {"", "___1", "___1___1"})
        EXPECT_TRUE(IsFirstInstance(yes)) << yes;
    for (const char* no : {"___2", "___10", "___12", "___1___2", "__1", "___"})
        EXPECT_FALSE(IsFirstInstance(no)) << no;
}

std::vector<std::string> Enumerate(const std::string& maximum) {
    std::vector<std::string> out;
    std::string current;
    while (NextModifier(current, maximum) && out.size() < 1000)
        out.push_back(current);
    return out;
}

TEST(NameModifierTest, OdometerOrder) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Enumerate("___3"), (V{"___1", "___2", "___3"}));
    EXPECT_EQ(Enumerate("___1"), (V{"___1"}));
    EXPECT_EQ(Enumerate("___2___3"),
              (V{"___1___1", "___1___2", "___1___3", "___2___1", "___2___2", "___2___3"}));
    EXPECT_EQ(Enumerate("___2___4").size(), 8u);
    EXPECT_EQ(Enumerate("___12").back(), "___12");
    EXPECT_EQ(Enumerate("x"), (V{"___1"}));
    EXPECT_EQ(Enumerate("___abc"), (V{"___1"}));
}

// A row reads the name the page wrote for each field of the form in that row, and the
// plain variable for anything else: no retry with a shorter modifier.
TEST(NameModifierTest, RowReadsTheNamesThePageWrote) {
    HContext ctx;
    for (const char* name : {"QTY", "QTY___2___3", "CAT", "CAT___2", "CAT___2___1", "EMAIL", "EMAIL___2", "N___2"})
        ctx.symbols.Define(name, std::make_unique<HWordValue>(name));
    const HFormFields fields = {{"QTY", 2}, {"CAT", 1}, {"EMAIL", 0}, {"N", 2}};
    ctx.rowFields = &fields;
    const struct {
        const char* reference;
        const char* row;
        const char* read;
    } cases[] = {
        {"QTY", "___2___3", "QTY___2___3"}, {"QTY", "___1___1", "QTY"},         {"QTY", "___3", "error 9 QTY"},
        {"QTY", "___1___2", "error 9 QTY"}, {"CAT", "___2___1", "CAT___2"},     {"CAT", "___1___2", "CAT"},
        {"EMAIL", "___2", "EMAIL"},         {"EMAIL", "___2___1", "EMAIL"},     {"N", "___2___3", "error 9 N"},
    };
    for (const auto& c : cases) {
        HVarRef ref(c.reference);
        std::string read;
        try {
            read = EvaluateWithModifier(ctx, ref, c.row);
        } catch (const HExcept& e) {
            read = "error " + std::to_string(e.code) + " " + e.detail;
        }
        EXPECT_EQ(read, c.read) << c.reference << c.row;
    }
}

// Returns the code raised by CheckModifierBounds, -1 when it accepts the maximum.
int BoundsCode(const std::string& maximum) {
    try {
        CheckModifierBounds(maximum);
    } catch (const HExcept& e) {
        EXPECT_LE(e.detail.size(), 100u);
        return e.code;
    }
    return -1;
}

std::string Repeat(const std::string& group, int times) {
    std::string s;
    for (int i = 0; i < times; ++i)
        s += group;
    return s;
}

// The maximum modifier comes back from the browser: it must not make the enumeration
// recurse 100 000 levels deep or run for a billion rows (a check that counted the rows one
// by one would not end on the 10^18 of the last case).
TEST(NameModifierTest, HostileMaximumsAreRefused) {
    const std::pair<std::string, int> cases[] = {
        {"", -1},
        {"___1", -1},
        {"___100", -1},
        {"___100___100", -1},
        {Repeat("___1", 32), -1},
        {Repeat("___2", 13), -1},  // 8192 rows
        {"___abc", -1},
        {"___101", 38},
        {"___999999999", 38},
        {"___99999999999999999999", 38},
        {"___100___100___2", 38},
        {Repeat("___1", 33), 38},
        {Repeat("___2", 14), 38},  // 16384 rows
        {Repeat("___1", 100000), 38},
        {"___5" + Repeat("___1", 100000), 38},
        {"___999999999___999999999", 38},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BoundsCode(c.first), c.second) << c.first.substr(0, 40);
    // What the bounds accept is enumerated in full.
    std::string current;
    size_t count = 0;
    while (NextModifier(current, "___100___100"))
        ++count;
    EXPECT_EQ(count, 10000u);
    EXPECT_EQ(Enumerate(Repeat("___1", 32)), std::vector<std::string>{Repeat("___1", 32)});
}

}  // namespace

namespace {

TEST(NameModifierTest, SuffixOfARowName) {
    const std::pair<const char*, size_t> cases[] = {
        {"QTY___2", 4}, {"QTY___2___3", 8}, {"QTY___12", 5}, {"___1", 4}, {"A1___2", 4},
        {"QTY", 0},     {"QTY___", 0},      {"QTY___2x", 0}, {"QTY__2", 0}, {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ModifierSuffixLength(c.first), c.second) << c.first;
}

}  // namespace
