#include "database/HSqlText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/HExcept.h"

using namespace quorvel;

namespace {

using Values = std::vector<std::string>;

// The rebuilt statements joined with " | ", or "error N" when the analysis or build fails.
std::string Rebuild(const std::string& sql, const Values& values, bool trim = true,
                    int* used = nullptr, bool backslashEscapes = false) {
    try {
        HSqlAnalysis analysis = AnalyseSql(sql);
        int index = 0;
        std::vector<std::string> texts = BuildStatements(analysis, values, index, trim, {}, backslashEscapes);
        if (used)
            *used = index;
        std::string out;
        for (std::size_t i = 0; i < texts.size(); ++i)
            out += (i ? " | " : "") + texts[i];
        return out;
    } catch (const HExcept& e) {
        return "error " + std::to_string(e.code);
    }
}

struct Case {
    const char* sql;
    Values values;
    const char* expected;
};

void RunTable(const std::vector<Case>& cases, bool trim = true, bool backslashEscapes = false) {
    for (const Case& c : cases)
        EXPECT_EQ(Rebuild(c.sql, c.values, trim, nullptr, backslashEscapes), c.expected) << c.sql;
}

TEST(HSqlTextTest, TrimmingLeavesOutEmptyConditions) {
    RunTable({
        {"SELECT * FROM t WHERE a = ? AND b = ?", {"1", ""}, "SELECT * FROM t WHERE a = 1"},
        {"SELECT * FROM t WHERE a = ? AND b = ?", {"", "2"}, "SELECT * FROM t WHERE b = 2"},
        {"SELECT * FROM t WHERE a = ? AND b = ?", {"", ""}, "SELECT * FROM t"},
        {"SELECT * FROM t WHERE a = ? AND b = ? ORDER BY a", {"", ""},
         "SELECT * FROM t ORDER BY a"},
        {"SELECT * FROM t WHERE a = ? OR NOT b = ?", {"", "5"}, "SELECT * FROM t WHERE NOT  b = 5"},
        {"SELECT * FROM t WHERE a IS NOT NULL AND b = ?", {""},
         "SELECT * FROM t WHERE a IS NOT NULL"},
        {"SELECT a, count(*) FROM t GROUP BY a HAVING count(*) > ?", {""},
         "SELECT a, count(*) FROM t GROUP BY a"},
        {"SELECT * FROM t WHERE NOT (a = ? OR b = ?)", {"1", ""}, "SELECT * FROM t WHERE NOT a = 1"},
        {"SELECT * FROM t WHERE NOT (a = ? OR b = ?)", {"1", "2"},
         "SELECT * FROM t WHERE NOT (a = 1 OR  b = 2)"},
        {"SELECT * FROM products WHERE category = ? AND name LIKE '%?%' ORDER BY name", {"3", "tea"},
         "SELECT * FROM products WHERE( category = 3 AND  name LIKE '%tea%') ORDER BY name"},
        {"SELECT * FROM products WHERE category = ? AND name LIKE '%?%' ORDER BY name", {"3", ""},
         "SELECT * FROM products WHERE category = 3 ORDER BY name"},
        // A parenthesis-less empty condition in a query is simply left out.
        {"SELECT * FROM t WHERE", {}, "SELECT * FROM t"},
    });
}

TEST(HSqlTextTest, TrimmingOffRaisesForEmptyValues) {
    RunTable({
        {"SELECT * FROM t WHERE a = ? AND b = ?", {"1", ""}, "error 41"},
        {"SELECT * FROM t WHERE a = ? AND b = ?", {"1", "2"},
         "SELECT * FROM t WHERE( a = 1 AND  b = 2)"},
    }, false);
}

TEST(HSqlTextTest, AndOrGroupFromTheLeftWithFullParentheses) {
    RunTable({
        {"SELECT * FROM t WHERE (a = ? OR b = ?) AND c = ?", {"1", "2", "3"},
         "SELECT * FROM t WHERE((a = 1 OR  b = 2) AND  c = 3)"},
        {"SELECT * FROM t WHERE (a = ? OR b = ?) AND c = ?", {"", "", "3"},
         "SELECT * FROM t WHERE c = 3"},
        {"SELECT * FROM t WHERE a = ? OR b = ? AND c = ?", {"1", "2", "3"},
         "SELECT * FROM t WHERE(( a = 1 OR  b = 2) AND  c = 3)"},
        {"SELECT * FROM t WHERE a = ? OR b = ? AND c = ?", {"1", "", "3"},
         "SELECT * FROM t WHERE( a = 1 AND  c = 3)"},
        {"SELECT * FROM t WHERE a = ? AND (b = ? OR c = ?)", {"1", "2", ""},
         "SELECT * FROM t WHERE( a = 1 AND b = 2)"},
    });
}

TEST(HSqlTextTest, BetweenKeepsItsAnd) {
    int used = 0;
    EXPECT_EQ(Rebuild("SELECT * FROM t WHERE x BETWEEN ? AND ? AND y = ?", {"1", "", "3"}, true, &used),
              "SELECT * FROM t WHERE y = 3");
    EXPECT_EQ(used, 3);
    RunTable({
        {"SELECT * FROM t WHERE x BETWEEN ? AND ? AND y = ?", {"1", "2", "3"},
         "SELECT * FROM t WHERE( x BETWEEN 1 AND 2 AND  y = 3)"},
        {"SELECT * FROM t WHERE x NOT BETWEEN ? AND ?", {"1", "2"},
         "SELECT * FROM t WHERE x NOT BETWEEN 1 AND 2"},
    });
}

TEST(HSqlTextTest, SubSelects) {
    RunTable({
        {"SELECT * FROM t WHERE id IN (SELECT id FROM u WHERE k = ?) ORDER BY 1", {""},
         "SELECT * FROM t WHERE id IN(SELECT id FROM u) ORDER BY 1"},
        {"SELECT * FROM t WHERE id IN (SELECT id FROM u WHERE k = ?) ORDER BY 1", {"7"},
         "SELECT * FROM t WHERE id IN(SELECT id FROM u WHERE k = 7) ORDER BY 1"},
        {"SELECT * FROM t WHERE EXISTS (SELECT 1 FROM u WHERE u.k = t.k AND u.v = ?)", {""},
         "SELECT * FROM t WHERE EXISTS(SELECT 1 FROM u WHERE u.k = t.k)"},
        // Without parentheses a sub-select runs to the end and is written in parentheses.
        {"SELECT * FROM t WHERE a = SELECT max(b) FROM u", {},
         "SELECT * FROM t WHERE a =( SELECT max(b) FROM u)"},
        {"SELECT * FROM t WHERE (SELECT count(*) FROM u) > ?", {"0"},
         "SELECT * FROM t WHERE(SELECT count(*) FROM u) > 0"},
        // Sub-selects outside conditions: their clauses are written where they stand.
        {"SELECT a, (SELECT max(b) FROM u WHERE u.k = t.k) m FROM t", {},
         "SELECT a, (SELECT max(b) FROM u WHERE u.k = t.k) m FROM t"},
        {"SELECT * FROM (SELECT * FROM t WHERE a = ?) x WHERE b = ?", {"", "2"},
         "SELECT * FROM (SELECT * FROM t) x WHERE b = 2"},
        {"SELECT * FROM (SELECT * FROM t WHERE a = ?) x WHERE b = ?", {"1", "2"},
         "SELECT * FROM (SELECT * FROM t WHERE a = 1) x WHERE b = 2"},
        {"SELECT a FROM t WHERE x = ? UNION SELECT a FROM u WHERE y = ?", {"", "2"},
         "SELECT a FROM t UNION SELECT a FROM u WHERE y = 2"},
    });
}

TEST(HSqlTextTest, TrimmedLeafUsesUpTheValuesOfItsSubSelect) {
    int used = 0;
    EXPECT_EQ(Rebuild("SELECT * FROM t WHERE a = ? + (SELECT max(x) FROM u WHERE k = ?) AND c = ?",
                      {"", "5", "7"}, true, &used),
              "SELECT * FROM t WHERE c = 7");
    EXPECT_EQ(used, 3);
}

TEST(HSqlTextTest, ParenthesesKeepTheirMeaning) {
    RunTable({
        {"SELECT * FROM t WHERE (a + 1) * 2 = ?", {"4"}, "SELECT * FROM t WHERE(a + 1) * 2 = 4"},
        {"SELECT * FROM t WHERE b = 1 AND (a + 1) * 2 = ?", {"4"},
         "SELECT * FROM t WHERE( b = 1 AND (a + 1) * 2 = 4)"},
        {"SELECT * FROM t WHERE (a = ?)", {"4"}, "SELECT * FROM t WHERE a = 4"},
        {"SELECT * FROM t WHERE id IN (1, 2)", {}, "SELECT * FROM t WHERE id IN(1, 2)"},
        {"SELECT * FROM t WHERE d < now()", {}, "SELECT * FROM t WHERE d < now()"},
        {"SELECT * FROM t WHERE upper(name) = upper(?)", {"7"},
         "SELECT * FROM t WHERE upper(name) = upper(7)"},
    });
}

TEST(HSqlTextTest, StatementsAndMarkerOrder) {
    RunTable({
        {"SELECT a FROM t;", {}, "SELECT a FROM t | "},
        {"DELETE FROM a WHERE k = ?; DELETE FROM b WHERE k = ?", {"7", "8"},
         "DELETE FROM a WHERE k = 7 |  DELETE FROM b WHERE k = 8"},
        {"SELECT * FROM t WHERE a = ? AND b = ? AND c = ?", {"1", "2"}, "error 6"},
        {"SELECT * FROM t WHERE a = ?", {"1", "2"}, "SELECT * FROM t WHERE a = 1"},
        {"SELECT * FROM t WHERE a = ?", {}, "error 6"},
        {"INSERT INTO t VALUES (?, ?)", {"1", ""}, "error 41"},
        {"INSERT INTO t VALUES (?, ?)", {"1", "2"}, "INSERT INTO t VALUES (1, 2)"},
    });
}

TEST(HSqlTextTest, KeywordsIgnoreLetterCaseAndMustBeWholeWords) {
    RunTable({
        {"select * from t where a = ? and b = ?", {"", "2"}, "select * from t where b = 2"},
        {"Select * From t Where a = ? Or b = ?", {"1", ""}, "Select * From t Where a = 1"},
        {"SELECT whereas, notes, android FROM orders_t", {},
         "SELECT whereas, notes, android FROM orders_t"},
    });
}

TEST(HSqlTextTest, MarkersInsideLiteralsTakeQuotedValues) {
    int used = 0;
    EXPECT_EQ(Rebuild("SELECT * FROM t WHERE name = 'who?'", {"x"}, true, &used),
              "SELECT * FROM t WHERE name = 'whox'");
    EXPECT_EQ(used, 1);
    RunTable({
        {"SELECT * FROM t WHERE name = '?'", {"O'Brien"}, "SELECT * FROM t WHERE name = 'O''Brien'"},
        {"SELECT * FROM t WHERE name = '?'", {"x' OR '1'='1"},
         "SELECT * FROM t WHERE name = 'x'' OR ''1''=''1'"},
        {"SELECT * FROM t WHERE name LIKE '%?%' AND id = ?", {"a b", "3"},
         "SELECT * FROM t WHERE( name LIKE '%a b%' AND  id = 3)"},
        // An unclosed literal runs to the end of the text.
        {"SELECT * FROM t WHERE a = 'x?", {"o'k"}, "SELECT * FROM t WHERE a = 'xo''k"},
        // Backslashes escape in E'' literals, so they are doubled there too.
        {"SELECT * FROM t WHERE a = E'?'", {"\\'; x"}, "SELECT * FROM t WHERE a = E'\\\\''; x'"},
        {"SELECT * FROM t WHERE a = '?'", {"\\"}, "SELECT * FROM t WHERE a = '\\'"},
    });
}

TEST(HSqlTextTest, MarkersOutsideLiteralsTakeNumbersListsOrSortKeys) {
    RunTable({
        {"SELECT * FROM t WHERE id = ?", {"-3.5"}, "SELECT * FROM t WHERE id = -3.5"},
        {"SELECT * FROM t WHERE id = ?", {"+7"}, "SELECT * FROM t WHERE id = +7"},
        {"SELECT * FROM t WHERE id IN (?)", {"1, 2 ,3"}, "SELECT * FROM t WHERE id IN(1, 2 ,3)"},
        // A name only as an item of a sort or grouping list (ORDER BY also with a direction).
        {"SELECT * FROM t ORDER BY ?", {"price_2"}, "SELECT * FROM t ORDER BY price_2"},
        {"SELECT * FROM t ORDER BY a, ? DESC, b", {"price"}, "SELECT * FROM t ORDER BY a, price DESC, b"},
        {"SELECT * FROM t order /* x */ by ?", {"price  desc"}, "SELECT * FROM t order /* x */ by price  desc"},
        {"SELECT a FROM t GROUP BY ?, b", {"a"}, "SELECT a FROM t GROUP BY a, b"},
        {"SELECT rank() OVER (ORDER BY ?) FROM t", {"price ASC"}, "SELECT rank() OVER (ORDER BY price ASC) FROM t"},
        {"SELECT a FROM t GROUP BY ?", {"a DESC"}, "error 1"},
        {"SELECT * FROM t ORDER BY ?", {"price DESC, id"}, "error 1"},
        {"SELECT * FROM t ORDER BY ?", {"price DROP"}, "error 1"},
        {"SELECT * FROM t ORDER BY a + ?", {"id"}, "error 1"},
        {"SELECT * FROM t ORDER BY ?(1)", {"pg_sleep"}, "error 1"},
        // A value glued to the words around it stays a word of its own.
        {"SELECT * FROM t ORDER BY?x", {"a"}, "SELECT * FROM t ORDER BY a x"},
        {"SELECT * FROM t ORDER BY?B, ?", {"7", "name"}, "SELECT * FROM t ORDER BY 7 B, name"},
        {"SELECT * FROM t ORDER BY ?E'x'", {"name"}, "SELECT * FROM t ORDER BY name E'x'"},
        {"SELECT price_?x FROM t", {"2"}, "SELECT price_ 2 x FROM t"},
        {"SELECT a FROM t?WHERE b = 1", {"7"}, "SELECT a FROM t 7 WHERE b = 1"},
        {"SELECT a FROM t WHERE (b = ?)ORDER BY a", {"7."}, "SELECT a FROM t WHERE b = 7. ORDER BY a"},
        {"SELECT * FROM t ORDER BY a LIMIT 5, ?", {"id"}, "error 1"},
        {"SELECT rank() OVER (ORDER BY a), ? FROM t", {"secret"}, "error 1"},
        {"SELECT * FROM t ORDER BY (?)", {"id"}, "error 1"},
        {"SELECT ? FROM t", {"secret"}, "error 1"},
        {"SELECT * FROM t WHERE id = ?", {"id"}, "error 1"},
        {"SELECT * FROM t WHERE id IN (SELECT id FROM u ORDER BY ?) AND k = ?", {"k", "k"}, "error 1"},
        {"UPDATE t SET qty = ? WHERE id = 1", {"qty"}, "error 1"},
        {"SELECT * FROM t WHERE a = 5-?", {"-1"}, "SELECT * FROM t WHERE a = 5- -1"},
        {"SELECT * FROM t WHERE id = ?", {"1 OR 1=1"}, "error 1"},
        {"SELECT * FROM t WHERE id = ?", {"1; DELETE FROM t"}, "error 1"},
        {"SELECT * FROM t WHERE id = ?", {"'x'"}, "error 1"},
        {"SELECT * FROM t WHERE id = ?", {" 1"}, "error 1"},
        {"SELECT * FROM t WHERE id < ?", {"3."}, "SELECT * FROM t WHERE id < 3."},
        {"SELECT * FROM t WHERE id > ?", {"-.5, +7."}, "SELECT * FROM t WHERE id > -.5, +7."},
        {"SELECT * FROM t WHERE id IN (?)", {"1,"}, "error 1"},
        {"SELECT * FROM t WHERE id = ?", {"a.b"}, "error 1"},
        {"SELECT * FROM t WHERE id = ?", {"2abc"}, "error 1"},
        {"SELECT * FROM t WHERE id = ?", {"--"}, "error 1"},
        {"SELECT * FROM t WHERE id = ?", {std::string("1\0", 2)}, "error 1"},
        {"SELECT * FROM t WHERE id = '?'", {std::string("a\0b", 3)}, "error 1"},
    });
}

TEST(HSqlTextTest, ApostrophesOutsideLiteralsDoNotOpenOne) {
    // Each text would let `1 OR 1=1` through if its apostrophe were taken as a literal.
    RunTable({
        {"SELECT a -- what's this\nFROM t WHERE b = ?", {"1 OR 1=1"}, "error 1"},
        {"SELECT a /* it's */ FROM t WHERE b = ?", {"1 OR 1=1"}, "error 1"},
        {"SELECT \"it's\" FROM t WHERE b = ?", {"1 OR 1=1"}, "error 1"},
        {"SELECT $$it's$$ FROM t WHERE b = ?", {"1 OR 1=1"}, "error 1"},
        {"SELECT $q$it's$q$ FROM t WHERE b = ?", {"1 OR 1=1"}, "error 1"},
        {"SELECT a -- what's this\nFROM t WHERE b = ?", {"2"},
         "SELECT a -- what's this\nFROM t WHERE b = 2"},
        // Keywords inside comments and quoted identifiers are not keywords.
        {"SELECT \"where\" FROM t /* WHERE a = ? */", {}, "SELECT \"where\" FROM t"},
    });
}

// Fuzz-found: each value broke out of its literal on PostgreSQL before the fix.
TEST(HSqlTextTest, ValuesCannotLeaveTheirLiteral) {
    RunTable({
        // The source's backslash would escape the value's first byte.
        {"SELECT a FROM t WHERE b = E'\\?'", {"'; DROP TABLE t; --"}, "error 1"},
        {"SELECT a FROM t WHERE b = E'\\?'", {"\\"}, "error 1"},
        {"SELECT a FROM t WHERE b = E'\\\\?'", {"'x"}, "SELECT a FROM t WHERE b = E'\\\\''x'"},
        {"SELECT a FROM t WHERE b = E'\\?'", {"n"}, "SELECT a FROM t WHERE b = E'\\n'"},
        // A doubled quote does not end an E'' literal: backslashes after it still escape.
        {"SELECT a FROM t WHERE b = E'it''s ?'", {"\\'; DROP TABLE t; --"},
         "SELECT a FROM t WHERE b = E'it''s \\\\''; DROP TABLE t; --'"},
        // A dollar quote the text never closes must not be closed by a value.
        {"SELECT $$ a FROM t WHERE b = '?'", {"$$; DROP TABLE t; --"}, "error 1"},
        {"SELECT $$ a FROM t WHERE b = '?'", {"7"}, "SELECT $$ a FROM t WHERE b = '7'"},
        {"SELECT $\xC3\x9F$ a FROM t WHERE b = '?'", {"$\xC3\x9F$; DROP TABLE t; --"}, "error 1"},
        // An E after a letter of a name is part of the name: a plain literal follows.
        {"SELECT a FROM t WHERE b = \xC3\x9F" "E'?'", {"x\\y"}, "SELECT a FROM t WHERE b = \xC3\x9F" "E'x\\y'"},
        {"SELECT a FROM t WHERE b = a$E'?'", {"x\\y"}, "SELECT a FROM t WHERE b = a$E'x\\y'"},
        // After a number a new token starts: `3$$` opens a dollar quote, `3E'` escapes.
        {"SELECT 3$$ a FROM t WHERE b = '?'", {"$$; DROP TABLE t; --"}, "error 1"},
        {"SELECT 3E'?'", {"\\'"}, "SELECT 3E'\\\\'''"},
        {"SELECT 0.E1E'?'", {"\\'"}, "SELECT 0.E1E'\\\\'''"},
        // Nor can a value make a number of the point and exponent after it.
        {"SELECT ?.E1E'?'", {"7", "\\'"}, "SELECT 7 .E1E'\\'''"},
        // A bare value cannot open a dollar quote, nor hide one by joining it to a name.
        {"SELECT $?$ a FROM t WHERE b = '?'", {"t", "$t$; DROP TABLE t; --"}, "error 1"},
        {"SELECT ?$t$ a $t$ FROM t WHERE b = '?'", {"x", "$t$; DROP TABLE t; --"}, "error 1"},
        {"SELECT ?$t$ a $t$ FROM t WHERE b = '?'", {"2", "$t$; DROP TABLE t; --"},
         "SELECT 2 $t$ a $t$ FROM t WHERE b = '$t$; DROP TABLE t; --'"},
        // Nor by joining the name bytes around it into a tag, nor by taking E for a name.
        {"SELECT $t?t$ a FROM t WHERE b = '?'", {"2", "$t2t$; DROP TABLE t; --"},
         "SELECT $t 2 t$ a FROM t WHERE b = '$t2t$; DROP TABLE t; --'"},
        {"SELECT ?E'?'", {"3", "\\'"}, "SELECT 3 E'\\\\'''"},
        // A bare value cannot become the E prefix of the literal after it: a name is no
        // value there, and a number gets a blank.
        {"SELECT a FROM t WHERE b = ?'?'", {"E", "\\'; DROP TABLE t; --"}, "error 1"},
        {"SELECT a FROM t WHERE b = ?'?'", {"1", "x"}, "SELECT a FROM t WHERE b = 1 'x'"},
        // Nor turn the E of an E'' literal into the end of a name it joins.
        {"SELECT S?358E'\\'; DROP TABLE t; --'", {"3"}, "SELECT S 3 358E'\\'; DROP TABLE t; --'"},
    });
}

// Where the database reads backslashes in plain literals as escapes, a value's backslashes are
// doubled there too, and a literal the database would end elsewhere is refused.
TEST(HSqlTextTest, BackslashEscapingDatabases) {
    RunTable({
        {"SELECT a FROM t WHERE b = '?'", {"\\' OR 1=1 -- "}, "SELECT a FROM t WHERE b = '\\\\'' OR 1=1 -- '"},
        {"SELECT a FROM t WHERE b = '?'", {"x\\"}, "SELECT a FROM t WHERE b = 'x\\\\'"},
        {"SELECT a FROM t WHERE b = '\\?'", {"'x"}, "error 1"},
        {"SELECT a FROM t WHERE b = '\\\\?' AND c = 'it''s'", {"x"}, "SELECT a FROM t WHERE( b = '\\\\x' AND  c = 'it''s')"},
        {"SELECT a FROM t WHERE b = 'it\\'s ?'", {"x"}, "error 1"},
        {"SELECT 'a\\' FROM t WHERE b = '?'", {") OR 1=1 -- "}, "error 1"},
        {"SELECT \"a\\\" FROM t WHERE b = '?'", {"x"}, "error 1"},
    }, true, true);
}

TEST(HSqlTextTest, UpdateAndDeleteNeverLoseTheirWholeCondition) {
    RunTable({
        {"DELETE FROM t WHERE id = ?", {""}, "error 41"},
        // A carriage return is white space: a text written with CR LF line ends is guarded too.
        {"\r\nDELETE FROM t WHERE id = ?", {""}, "error 41"},
        {"update t SET a = 1 WHERE id = ?", {""}, "error 41"},
        {"DELETE FROM t WHERE id IN (SELECT id FROM u WHERE k = ?)", {""}, "error 41"},
        {"DELETE FROM t WHERE", {}, "error 1"},
        {"UPDATE t SET a = 1 WHERE id = ? AND k = ?", {"", "3"}, "UPDATE t SET a = 1 WHERE k = 3"},
        {"DELETE FROM t WHERE id = ?", {"4"}, "DELETE FROM t WHERE id = 4"},
    });
}

TEST(HSqlTextTest, SyntaxErrors) {
    RunTable({
        {"UPDATE t SET f = NOT f", {}, "error 1"},
        {"SELECT a BETWEEN 1 AND 2 FROM t", {}, "error 1"},
        {"SELECT a FROM t WHERE a = 1 AND WHERE b = 2", {}, "error 1"},
        {"SELECT * FROM t WHERE (a = 1", {}, "error 1"},
        {"SELECT * FROM t WHERE f(a = 1 OR b = 2)", {}, "error 1"},
        {"SELECT a FROM t)", {}, "error 1"},
        {"SELECT * FROM t WHERE (a = 1 OR b = 2) = TRUE", {}, "error 1"},
        {"SELECT * FROM t WHERE (a = 1 OR b = 2) (c = 3)", {}, "error 1"},
        {"SELECT * FROM t WHERE a IN (SELECT b FROM u; DELETE FROM u)", {}, "error 1"},
        // Parentheses outside conditions are only counted; the database judges them.
        {"SELECT (a FROM t", {}, "SELECT (a FROM t"},
    });
}

TEST(HSqlTextTest, HighBytesStayInTheText) {
    EXPECT_EQ(Rebuild("SELECT * FROM t WHERE a = '\xFF?\xE9'", {"x"}),
              "SELECT * FROM t WHERE a = '\xFFx\xE9'");
}

TEST(HSqlTextTest, NestingIsBoundedNotFatal) {
    const std::string deep = "SELECT * FROM t WHERE " + std::string(100000, '(') + "a = 1" +
                             std::string(100000, ')');
    EXPECT_EQ(Rebuild(deep, {}), "error 1");
    std::string nots = "SELECT * FROM t WHERE ";
    for (int i = 0; i < 5000; ++i)
        nots += "NOT ";
    EXPECT_EQ(Rebuild(nots + "a = 1", {}), "error 1");
    std::string subs = "SELECT * FROM t WHERE a IN ";
    for (int i = 0; i < 5000; ++i)
        subs += "(SELECT a FROM t WHERE a IN ";
    EXPECT_EQ(Rebuild(subs + "(1)", {}), "error 1");

    const std::string fine = "SELECT * FROM t WHERE " + std::string(50, '(') + "a = ?" +
                             std::string(50, ')');
    EXPECT_EQ(Rebuild(fine, {"1"}), "SELECT * FROM t WHERE a = 1");
    // Parentheses outside conditions are counted, not nested.
    const std::string flat = "SELECT " + std::string(100000, '(') + "1" + std::string(100000, ')');
    EXPECT_EQ(Rebuild(flat, {}), flat);
}

TEST(HSqlTextTest, LongConditionChainsAreLinear) {
    std::string sql = "SELECT * FROM t WHERE a = ?";
    Values values{"1"};
    const int terms = 50000;
    for (int i = 1; i < terms; ++i) {
        sql += " OR a = ?";
        values.push_back(i % 2 ? "" : "2");
    }
    std::string rebuilt = Rebuild(sql, values);
    ASSERT_EQ(rebuilt.compare(0, 22 + terms / 2 - 1, "SELECT * FROM t WHERE" +
                                                          std::string(terms / 2 - 1, '(') + " "),
              0);
    EXPECT_EQ(rebuilt.substr(rebuilt.size() - 10), "OR  a = 2)");
}

}  // namespace
