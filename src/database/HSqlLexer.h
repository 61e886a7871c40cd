// The lexical rules of SQL texts, and the substitution of parameter values into them.
//
// One set of rules serves both the analysis (HSqlText) and the substitution of values, so a
// `?` counts as inside a quoted literal exactly where the tokenizer saw one. The rules know
// the places where an apostrophe opens no literal (comments, double-quoted identifiers,
// dollar-quoted strings) and that E'...' literals take backslash escapes, so a value never
// gets the quoting of a literal where the database sees none. Everything here is a pure
// function of its arguments.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

class HExcept;

// Token kinds of the SQL tokenizer; the values are the kind codes the analysis is built on.
enum HSqlTokenKind {
    kSqlLiteral = 0, kSqlWord = 1, kSqlEnd = 2, kSqlOpen = 3, kSqlClose = 4, kSqlSemicolon = 5,
    kSqlSelect = 6, kSqlWhere = 7, kSqlAnd = 8, kSqlOr = 9, kSqlNot = 10, kSqlGroup = 11,
    kSqlOrder = 12, kSqlHaving = 13, kSqlStart = 14, kSqlConnect = 15, kSqlUnion = 16,
    kSqlMinus = 17, kSqlIntersect = 18, kSqlBetween = 19, kSqlOther = 20
};

// Reads the token at `pos` of `text`, advances `pos` past it and returns its kind; `span`
// receives the stretch consumed: the blanks, tabs, line ends and comments before the token
// and the token itself. The text ends at its end or at a NUL byte; at the end `pos` stays put, so
// every later call also returns kSqlEnd.
int NextSqlToken(std::string_view text, std::size_t& pos, std::string_view& span);

// Skips blanks, tabs, line ends (CR and LF), form feeds and comments from `p`; returns the
// first other position.
std::size_t SkipSqlSpace(std::string_view text, std::size_t p);

inline bool IsSqlWordByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Bytes the database takes as part of a name: besides letters, digits and underscores,
// every byte of 0x80 and above (letters of other alphabets) and `$` after the first byte.
inline bool IsSqlNameByte(char c) {
    return IsSqlWordByte(c) || c == '$' || static_cast<unsigned char>(c) >= 0x80;
}

// Whether `word` equals `upper` (an upper-case keyword) ignoring letter case.
bool SqlWordIs(std::string_view word, const char* upper);

// The number of `?` markers in `text`, inside literals and comments included.
std::size_t CountSqlMarkers(std::string_view text);

// Appends `text` to `out` with its markers replaced by values from `index` on. Returns false
// when a marker's value is empty (what was appended is then of no use). Raises HExcept 6 when
// a marker has no value and 1 when a value is not allowed where its marker stands: outside a
// literal anything but a number or a number list, except that an item of an ORDER BY or
// GROUP BY list may also be a name (a letter or underscore, then letters, digits and
// underscores), in ORDER BY followed by ASC or DESC; after an escaping backslash
// in an E'' literal a value that starts with a quote or a backslash. A bare value written
// glued to name bytes gets a blank on that side, and one directly followed by a quote or by
// a point and a letter a blank after it, so that it never joins a word (`BY?B` with 7 is
// `BY 7 B`, no name BY7B) nor turns 'x' into E'x'. A dollar-quoted string that is never
// closed runs to the end of the text.
//
// A value marked in `fixed` (by its index) came from a reference in the SQL text itself: it
// is substituted even when empty (nothing inside a literal, error 1 anywhere else) and never
// counts as not given.
//
// `backslashEscapes`: the database reads a backslash in a plain literal as an escape (as in
// E''), so values there have their backslashes doubled too, and a quoted text in which a
// backslash escapes a quote or the closing quote (`'it\'s'`) raises HExcept 1, marker or not:
// the database would see that literal end elsewhere than these rules do.
bool AppendSqlSubstituted(std::string& out, std::string_view text,
                          const std::vector<std::string>& values, int& index,
                          const std::vector<bool>* fixed = nullptr, bool backslashEscapes = false);

// Error 41, "Parameter to SQL statement is not defined", for an empty value in `text`.
HExcept SqlEmptyValueError(std::string_view text);

// Replaces every marker of `text` by the next value, by the rules above. Raises HExcept 6,
// 41 (with `extra` = the number of markers in `text`) or 1.
std::string SubstituteParameters(std::string_view text, const std::vector<std::string>& values,
                                 int& index);

// Whether `value` may stand anywhere outside a quoted literal: a number (optional sign,
// digits, optional point and digits, so also `7.` and `.5`) or a comma-separated list of
// numbers with blanks allowed around the commas. A name is no such value: `WHERE id = ?`
// with `id` would match every row.
bool IsBareSqlValue(std::string_view value);

}  // namespace quorvel
