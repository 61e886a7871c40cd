// SQL text analysis and rebuilding.
//
// The SQL text of an SQL element is analysed once, when the element defines its operation,
// into an HSqlAnalysis: statements separated by semicolons, each a list of clauses. The
// clauses opened by WHERE, HAVING, START and CONNECT hold their search condition as a tree of
// AND, OR and NOT nodes over leaf conditions. Each execution rebuilds executable text from
// the tree with BuildStatements: every `?` marker receives the next parameter value as text,
// and with trimming on, a leaf that gets an empty value is left out together with the
// operator that joins it, and a clause whose whole condition is gone is left out with its
// keyword. So one query text serves every combination of given and empty values.
//
// Values never change the shape of a statement: a value for a marker inside a quoted literal
// has its single quotes doubled (and its backslashes, where the database reads them as
// escapes), and a value anywhere else must be a number or a comma-
// separated list of numbers, or a name where it is an item of an ORDER BY or GROUP BY list. An UPDATE or DELETE never loses a whole condition clause
// to trimming (that would turn it into an update or delete of every row).
//
// The analysis owns everything it holds and is never changed by rebuilding. Analysis and
// rebuilding are linear in the text, and nesting (parentheses, NOT, sub-selects) deeper than
// kMaxSqlNesting is a syntax error rather than a risk to the stack.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel {


class HSqlCondition;

// One clause of a statement: the keyword span that opened it and the text after it, or for
// the first clause, everything before the first clause keyword. `condition` is set only for
// WHERE, HAVING, START and CONNECT.
struct HSqlClause {
    HSqlClause();
    HSqlClause(HSqlClause&&) noexcept;
    HSqlClause& operator=(HSqlClause&&) noexcept;
    ~HSqlClause();

    std::string text;
    std::unique_ptr<HSqlCondition> condition;
};

// A statement is its clauses in source order; the first clause always exists.
using HSqlStatement = std::vector<HSqlClause>;
// The analysis of a whole SQL text: one statement per semicolon-separated part.
using HSqlAnalysis = std::vector<HSqlStatement>;

// A sub-select inside a leaf condition, written into the rebuilt text in parentheses at
// `offset` of the leaf's text (after the text that preceded it in the source).
struct HSqlSubquery {
    std::size_t offset;
    HSqlStatement statement;
};

// One node of a condition tree. A leaf holds source text (spans of its tokens, with white
// space and letter case as written) and the sub-selects found inside it; AND and OR hold two
// operands, NOT its negated condition in `left`.
class HSqlCondition {
public:
    enum Kind { kLeaf = 0, kAnd = 1, kOr = 2, kNot = 3 };

    HSqlCondition() = default;
    HSqlCondition(const HSqlCondition&) = delete;
    HSqlCondition& operator=(const HSqlCondition&) = delete;
    // Long AND/OR chains form deep left spines; they are released without recursion.
    ~HSqlCondition();

    bool IsLeaf() const { return kind == kLeaf; }
    // A leaf that has received nothing yet.
    bool IsEmptyLeaf() const { return kind == kLeaf && text.empty() && subqueries.empty(); }

    int kind = kLeaf;
    std::unique_ptr<HSqlCondition> left;
    std::unique_ptr<HSqlCondition> right;
    std::string text;
    std::vector<HSqlSubquery> subqueries;
};

// Deepest nesting of parenthesised conditions, NOT and sub-selects that the analysis accepts.
constexpr int kMaxSqlNesting = 100;

// Analyses a whole SQL text. Raises HExcept 1 (empty detail and URL) on a syntax error:
// AND, OR, NOT or BETWEEN outside a condition, WHERE inside one, a parenthesis of a condition
// left open, a parenthesised AND/OR/NOT after text, text following a parenthesised AND/OR/NOT,
// a close parenthesis that nothing opened, or nesting deeper than kMaxSqlNesting.
HSqlAnalysis AnalyseSql(std::string_view sql);

// Values that references in the SQL text gave (data: request values and result columns),
// each with the number of markers before it: the text holds a `?` marker in its place.
using HSqlTextValues = std::vector<std::pair<int, std::string>>;

// Rebuilds one executable text per statement. `index` is the next value to use (the caller
// sets it to 0); markers take values in source order across clauses and statements, and a
// trimmed leaf consumes the values of all its markers. The markers of `textValues` take those
// values, by the same rules, except that an empty one is substituted as it is (and is error 1
// outside a literal) rather than trimmed; the other markers take `values` in order. Raises
// HExcept 6 when a marker has no value, 41 (category 3) for an empty value that cannot be
// trimmed, 1 for a value that is not allowed where its marker stands; detail and URL are left
// empty for the caller to fill. `backslashEscapes`: the database reads backslashes in plain
// literals as escapes (AppendSqlSubstituted).
std::vector<std::string> BuildStatements(const HSqlAnalysis& analysis,
                                         const std::vector<std::string>& values, int& index,
                                         bool trim, const HSqlTextValues& textValues = {},
                                         bool backslashEscapes = false);

}  // namespace quorvel
