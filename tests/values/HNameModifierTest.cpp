#include "values/HNameModifier.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "driver/HExcept.h"

namespace {

std::vector<std::string> Enumerate(const std::string& maximum) {
    std::vector<std::string> all;
    std::string current;
    while (NextModifier(current, maximum) && all.size() < 100000)
        all.push_back(current);
    return all;
}

TEST(HNameModifierTest, OdometerOrder) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Enumerate("___3"), (V{"___1", "___2", "___3"}));
    EXPECT_EQ(Enumerate("___1"), (V{"___1"}));
    EXPECT_EQ(Enumerate("___2___3"),
              (V{"___1___1", "___1___2", "___1___3", "___2___1", "___2___2", "___2___3"}));
    EXPECT_EQ(Enumerate("___2___4").size(), 8u);
    EXPECT_EQ(Enumerate(""), (V{"___1"}));
    EXPECT_EQ(Enumerate("___x"), (V{"___1"}));
    EXPECT_EQ(Enumerate("___100").size(), 100u);
    EXPECT_EQ(Enumerate("___100___100").size(), 10000u);
}

// Returns the code raised by CheckModifierBounds, -1 when it accepts the maximum.
int BoundsCode(const std::string& maximum) {
    try {
        CheckModifierBounds(maximum);
    } catch (const HExcept& e) {
        EXPECT_EQ(e.category, 1);
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

TEST(HNameModifierTest, HostileMaximumsAreRefused) {
    const std::pair<std::string, int> cases[] = {
        {"", -1},
        {"___1", -1},
        {"___100", -1},
        {"___100___100", -1},
        {Repeat("___1", 32), -1},
        {Repeat("___2", 13), -1},  // 8192 rows
        {"___101", 38},
        {"___999999999", 38},
        {"___99999999999999999999", 38},
        {"___100___100___2", 38},
        {Repeat("___1", 33), 38},
        {Repeat("___2", 14), 38},  // 16384 rows
        {Repeat("___1", 100000), 38},
        {"___5" + Repeat("___1", 100000), 38},
    };
    auto start = std::chrono::steady_clock::now();
    for (const auto& c : cases)
        EXPECT_EQ(BoundsCode(c.first), c.second) << c.first.substr(0, 40);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(HNameModifierTest, FirstInstances) {
    const std::pair<const char*, bool> cases[] = {
        {"", true}, {"___1", true}, {"___1___1", true}, {"___2", false},
        {"___10", false}, {"___1___2", false}, {"__1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsFirstInstance(c.first), c.second) << c.first;
}

}  // namespace
