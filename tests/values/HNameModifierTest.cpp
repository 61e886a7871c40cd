#include "values/HNameModifier.h"

#include <gtest/gtest.h>

#include "driver/HContext.h"
#include "driver/HExcept.h"

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

TEST(NameModifierTest, EvaluateFallsBackOneLevel) {
    HContext ctx;
    ctx.symbols.Define("QTY", std::make_unique<HWordValue>("plain"));
    ctx.symbols.Define("QTY___2", std::make_unique<HWordValue>("second"));
    HVarRef ref("QTY");
    EXPECT_EQ(EvaluateWithModifier(ctx, ref, "___2___3"), "second");
    EXPECT_EQ(EvaluateWithModifier(ctx, ref, "___3"), "plain");
    EXPECT_EQ(EvaluateWithModifier(ctx, ref, "___1"), "plain");
    EXPECT_EQ(EvaluateWithModifier(ctx, ref, ""), "plain");
    HVarRef other("N");
    ctx.symbols.Define("N___4", std::make_unique<HWordValue>("x"));
    try {
        EvaluateWithModifier(ctx, other, "___3___2");
        ADD_FAILURE() << "no error";
    } catch (const HExcept& e) {
        EXPECT_EQ(e.code, 9);
        EXPECT_EQ(e.detail, "N");
    }
}

}  // namespace
