#include "values/HSymbolTable.h"

#include <gtest/gtest.h>

using namespace quorvel;

namespace {

std::vector<std::string> Names(const HSymbolTable& t) {
    std::vector<std::string> out;
    t.ForEach([&](const std::string& n, const HValue*) { out.push_back(n); });
    return out;
}

TEST(SymbolTableTest, BucketOrderAndFrontInsertion) {
    // Buckets by h = h*33 + signed byte, mod 17: "a" -> 97 % 17 = 12, "b" -> 13,
    // "B" -> 66 % 17 = 15, "r" -> 114 % 17 = 12 (same bucket as "a", added later: first).
    HSymbolTable t;
    for (const char* n : {"a", "b", "B", "r"})
        t.Define(n, std::make_unique<HWordValue>(n));
    EXPECT_EQ(Names(t), (std::vector<std::string>{"r", "a", "b", "B"}));
    // Redefinition keeps the position and replaces the value.
    t.Define("a", std::make_unique<HWordValue>("new"));
    EXPECT_EQ(Names(t), (std::vector<std::string>{"r", "a", "b", "B"}));
    EXPECT_EQ(t.Lookup("a")->Text(), "new");
}

TEST(SymbolTableTest, ManyNamesKeepTheListingOrder) {
    // Past the first few names a hashed index finds them; the listing order stays that of
    // the chains: bucket by bucket, the latest name of a bucket first.
    HSymbolTable t;
    std::vector<std::vector<std::string>> buckets(17);
    for (int i = 0; i < 200; ++i) {
        std::string name = "N" + std::to_string(i * 7919);
        t.Define(name, std::make_unique<HWordValue>(std::to_string(i)));
        auto& chain = buckets[HNameMap<int>::BucketOf(name)];
        chain.insert(chain.begin(), name);
    }
    t.Define("N0", std::make_unique<HWordValue>("again"));
    std::vector<std::string> expected;
    for (const auto& chain : buckets)
        expected.insert(expected.end(), chain.begin(), chain.end());
    EXPECT_EQ(Names(t), expected);
    EXPECT_EQ(t.Lookup("N0")->Text(), "again");
    EXPECT_EQ(t.Lookup("N" + std::to_string(199 * 7919))->Text(), "199");
    EXPECT_FALSE(t.Contains("N1"));
}

TEST(SymbolTableTest, HashUsesSignedBytes) {
    // 0xE9 as a signed byte is -23: h = 2^32 - 23, which is 4294967273 % 17 = 6.
    EXPECT_EQ(HNameMap<int>::BucketOf("\xE9"), 4294967273u % 17);
    EXPECT_EQ(HNameMap<int>::BucketOf("_ERR_URL_"), [] {
        uint32_t h = 0;
        for (char c : std::string("_ERR_URL_"))
            h = h * 33 + static_cast<uint32_t>(c);
        return h % 17;
    }());
}

TEST(SymbolTableTest, CaseSensitiveAndReplacedValuesStayAlive) {
    HSymbolTable t;
    t.Define("X", std::make_unique<HWordValue>("1"));
    const HValue* first = t.Lookup("X");
    HLookupHint hint;  // a hinted lookup sees what a plain one sees
    EXPECT_EQ(t.Lookup("X", hint), first);
    t.Define("X", std::make_unique<HWordValue>("2"));
    EXPECT_EQ(t.Lookup("X", hint)->Text(), "2");
    EXPECT_EQ(first->Text(), "1");  // still valid: kept until the table ends
    EXPECT_EQ(t.Lookup("x"), nullptr);
    EXPECT_TRUE(t.Contains("X"));
    // A removed name is gone for every reader, and its value stays alive too.
    const HValue* second = t.Lookup("X");
    t.Remove("X");
    EXPECT_FALSE(t.Contains("X"));
    EXPECT_EQ(second->Text(), "2");
    EXPECT_EQ(t.Lookup("X", hint), nullptr);
    t.ForEach([](const std::string& name, const HValue*) { ADD_FAILURE() << name << " listed"; });
    HSymbolTable other;  // the hint is of the first table only
    other.Define("X", std::make_unique<HWordValue>("3"));
    EXPECT_EQ(other.Lookup("X", hint)->Text(), "3");
    EXPECT_EQ(t.Lookup("X", hint), nullptr);
}

}  // namespace
