#include "check/HCheckRules.h"

#include <gtest/gtest.h>

using namespace quorvel;

namespace {

TEST(SelectColumnsTest, NamesOfTheSelectList) {
    struct Case {
        std::string sql;
        bool known;
        std::vector<std::string> names;
    } cases[] = {
        {"SELECT id, name FROM t", true, {"id", "name"}},
        {"select DISTINCT t.id, p.name AS title FROM t, p", true, {"id", "title"}},
        {"SELECT price*qty total, COUNT(*) n, MAX(a) FROM t", true, {"total", "n"}},
        {"SELECT a + b, 'x' FROM t", true, {}},
        {"SELECT \"Order Date\" FROM t", true, {"Order Date"}},
        {"SELECT (SELECT max(a) FROM u) AS m, b\nFROM t WHERE c = 1", true, {"m", "b"}},
        {"SELECT a FROM t; SELECT b FROM u", true, {"a"}},
        {"SELECT a -- the key\n, b /* , c */ FROM t", true, {"a", "b"}},
        {"SELECT a, 'it''s' FROM t", true, {"a"}},
        {"SELECT a", true, {"a"}},
        {"SELECT * FROM t", false, {}},
        {"SELECT t.*, a FROM t", false, {}},
        {std::string("SELECT ") + kSqlPlaceholder + " FROM t", false, {}},
        {std::string("SELECT a FROM t WHERE b = ") + kSqlPlaceholder, true, {"a"}},
        {"UPDATE t SET a = 1", false, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> names;
        EXPECT_EQ(SelectColumns(c.sql, names), c.known) << c.sql;
        if (c.known) {
            EXPECT_EQ(names, c.names) << c.sql;
        }
    }
}

TEST(CheckExcerptTest, QuotesShortAndOnOneLine) {
    EXPECT_EQ(CheckExcerpt("  a\n\n b\t"), "a b");
    EXPECT_EQ(CheckExcerpt(std::string(70, 'x')), std::string(60, 'x') + "...");
}

}  // namespace
