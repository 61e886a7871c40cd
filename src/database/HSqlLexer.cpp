#include "database/HSqlLexer.h"

#include <algorithm>
#include <cstring>

#include "driver/HExcept.h"

namespace {

// ---------------------------------------------------------------------------------------
// Lexical rules shared by the analysis and the substitution of values. A `?` counts as
// inside a literal only where the database sees a literal too, so the lexer also knows the
// places where an apostrophe does not open one: comments, double-quoted identifiers and
// dollar-quoted strings. E'...' literals take backslash escapes.

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// The text ends at its end or at a NUL byte (the driver receives it zero-terminated).
bool AtEnd(std::string_view t, std::size_t p) { return p >= t.size() || t[p] == '\0'; }

// How the inside of a token treats a `?`.
enum Quoting { kBare, kLiteral, kEscapedLiteral };

// Skips blanks, tabs, line feeds and comments from `p`; returns the first other position.
}  // namespace

std::size_t SkipSqlSpace(std::string_view t, std::size_t p) {
    for (;;) {
        if (AtEnd(t, p))
            return p;
        char c = t[p];
        if (IsBlank(c)) {
            ++p;
        } else if (c == '-' && p + 1 < t.size() && t[p + 1] == '-') {
            while (!AtEnd(t, p) && t[p] != '\n')
                ++p;
        } else if (c == '/' && p + 1 < t.size() && t[p + 1] == '*') {
            int depth = 0;
            while (!AtEnd(t, p)) {
                if (t[p] == '/' && p + 1 < t.size() && t[p + 1] == '*') {
                    ++depth;
                    p += 2;
                } else if (t[p] == '*' && p + 1 < t.size() && t[p + 1] == '/') {
                    p += 2;
                    if (--depth == 0)
                        break;
                } else {
                    ++p;
                }
            }
        } else {
            return p;
        }
    }
}

namespace {

// Runs from an opening quote at `p` to just past its closing quote, or to the end of the
// text when it is never closed. With `escapes`, a backslash protects the byte after it.
std::size_t SkipQuoted(std::string_view t, std::size_t p, char quote, bool escapes) {
    ++p;
    while (!AtEnd(t, p)) {
        if (escapes && t[p] == '\\') {
            p = AtEnd(t, p + 1) ? p + 1 : p + 2;
        } else if (t[p] == quote) {
            return p + 1;
        } else {
            ++p;
        }
    }
    return p;
}

// Length of a dollar-quote delimiter ($$ or $tag$) at `p`, or 0 when there is none.
std::size_t DollarTagLength(std::string_view t, std::size_t p) {
    if (p > 0 && IsSqlWordByte(t[p - 1]))
        return 0;  // a `$` inside an identifier
    std::size_t q = p + 1;
    if (q < t.size() && IsLetter(t[q])) {
        while (q < t.size() && IsSqlWordByte(t[q]))
            ++q;
    }
    return q < t.size() && t[q] == '$' ? q + 1 - p : 0;
}

const struct {
    const char* word;
    int kind;
} kKeywords[] = {
    {"SELECT", kSqlSelect}, {"WHERE", kSqlWhere},   {"AND", kSqlAnd},
    {"OR", kSqlOr},         {"NOT", kSqlNot},       {"GROUP", kSqlGroup},
    {"ORDER", kSqlOrder},   {"HAVING", kSqlHaving}, {"START", kSqlStart},
    {"CONNECT", kSqlConnect}, {"UNION", kSqlUnion}, {"MINUS", kSqlMinus},
    {"INTERSECT", kSqlIntersect}, {"BETWEEN", kSqlBetween},
};

}  // namespace

bool SqlWordIs(std::string_view a, const char* b) {
    std::size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = a[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != b[i])
            return false;
    }
    return true;
}

namespace {

int WordKind(std::string_view word) {
    if (word.size() <= 9) {
        for (const auto& k : kKeywords) {
            if (SqlWordIs(word, k.word))
                return k.kind;
        }
    }
    return kSqlWord;
}

// Reads the token that starts at `p` (not a blank, not the end); returns its end and sets
// its kind and how a `?` inside it is treated.
std::size_t LexToken(std::string_view t, std::size_t p, int& kind, Quoting& quoting) {
    char c = t[p];
    quoting = kBare;
    if (c == '\'') {
        bool escapes = p > 0 && (t[p - 1] == 'E' || t[p - 1] == 'e') &&
                       (p < 2 || !IsSqlWordByte(t[p - 2]));
        kind = kSqlLiteral;
        quoting = escapes ? kEscapedLiteral : kLiteral;
        return SkipQuoted(t, p, '\'', escapes);
    }
    if (c == '"') {
        kind = kSqlWord;  // a quoted identifier is never a keyword
        return SkipQuoted(t, p, '"', false);
    }
    if (c == '$') {
        if (std::size_t tag = DollarTagLength(t, p)) {
            std::size_t close = t.find(t.substr(p, tag), p + tag);
            std::size_t nul = t.find('\0', p + tag);
            if (close != std::string_view::npos && (nul == std::string_view::npos || close < nul)) {
                kind = kSqlWord;
                return close + tag;
            }
        }
    }
    if (IsSqlWordByte(c)) {
        std::size_t q = p;
        while (q < t.size() && IsSqlWordByte(t[q]))
            ++q;
        kind = WordKind(t.substr(p, q - p));
        return q;
    }
    kind = c == '(' ? kSqlOpen : c == ')' ? kSqlClose : c == ';' ? kSqlSemicolon : kSqlOther;
    return p + 1;
}

HExcept SyntaxError() { return HExcept(1); }

bool IsNumber(std::string_view v) {
    std::size_t p = 0;
    if (p < v.size() && (v[p] == '+' || v[p] == '-'))
        ++p;
    std::size_t digits = p;
    while (p < v.size() && v[p] >= '0' && v[p] <= '9')
        ++p;
    if (p == digits)
        return false;
    if (p < v.size() && v[p] == '.') {
        std::size_t fraction = ++p;
        while (p < v.size() && v[p] >= '0' && v[p] <= '9')
            ++p;
        if (p == fraction)
            return false;
    }
    return p == v.size();
}

std::string_view TrimLeadingBlanks(std::string_view v) {
    while (!v.empty() && v.front() == ' ')
        v.remove_prefix(1);
    return v;
}

std::string_view TrimTrailingBlanks(std::string_view v) {
    while (!v.empty() && v.back() == ' ')
        v.remove_suffix(1);
    return v;
}

}  // namespace

std::size_t CountSqlMarkers(std::string_view text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '?'));
}

HExcept SqlEmptyValueError(std::string_view text) {
    return HExcept(41, std::string(), std::string(), 3, static_cast<int>(CountSqlMarkers(text)));
}

// Appends `text` to `out` with its markers replaced. Returns false when a marker's value is
// empty (what was appended is then of no use); raises HExcept 6 and 1 for the other faults.
bool AppendSqlSubstituted(std::string& out, std::string_view text,
                       const std::vector<std::string>& values, int& index) {
    if (text.find('?') == text.npos) {
        out += text;
        return true;
    }
    std::size_t from = 0;
    bool empty = false;
    auto substitute = [&](std::size_t at, Quoting quoting) {
        out.append(text, from, at - from);
        from = at + 1;
        if (index < 0 || static_cast<std::size_t>(index) >= values.size())
            throw HExcept(6);
        const std::string& value = values[static_cast<std::size_t>(index)];
        if (value.empty()) {
            empty = true;
            return;
        }
        if (value.find('\0') != std::string::npos)
            throw SyntaxError();
        if (quoting == kBare) {
            if (!IsBareSqlValue(value))
                throw SyntaxError();
            if (value[0] == '-' && !out.empty() && out.back() == '-')
                out += ' ';  // `5-?` with -1 must not become the comment `5--1`
            out += value;
        } else {
            for (char c : value) {
                out += c;
                if (c == '\'' || (c == '\\' && quoting == kEscapedLiteral))
                    out += c;
            }
        }
        ++index;
    };
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t start = pos;
        pos = SkipSqlSpace(text, pos);
        for (std::size_t i = text.find('?', start); i < pos && !empty; i = text.find('?', i + 1))
            substitute(i, kBare);  // inside a comment
        if (AtEnd(text, pos))
            break;
        int kind;
        Quoting quoting;
        std::size_t end = LexToken(text, pos, kind, quoting);
        for (std::size_t i = text.find('?', pos); i < end && !empty; i = text.find('?', i + 1))
            substitute(i, quoting);
        pos = end;
    }
    if (empty)
        return false;
    out.append(text, from);
    return true;
}

int NextSqlToken(std::string_view text, std::size_t& pos, std::string_view& span) {
    std::size_t start = pos;
    pos = SkipSqlSpace(text, pos);
    int kind = kSqlEnd;
    if (!AtEnd(text, pos)) {
        Quoting quoting;
        pos = LexToken(text, pos, kind, quoting);
    }
    span = text.substr(start, pos - start);
    return kind;
}

bool IsBareSqlValue(std::string_view value) {
    if (!value.empty() && IsLetter(value[0]))
        return std::all_of(value.begin(), value.end(), IsSqlWordByte);
    // Numbers separated by commas; blanks may stand on either side of each comma.
    std::size_t p = 0;
    for (;;) {
        std::size_t comma = value.find(',', p);
        std::string_view item = value.substr(p, comma == value.npos ? value.npos : comma - p);
        if (p > 0)
            item = TrimLeadingBlanks(item);
        if (comma != value.npos)
            item = TrimTrailingBlanks(item);
        if (!IsNumber(item))
            return false;
        if (comma == value.npos)
            return true;
        p = comma + 1;
    }
}

std::string SubstituteParameters(std::string_view text, const std::vector<std::string>& values,
                                 int& index) {
    std::string out;
    if (!AppendSqlSubstituted(out, text, values, index))
        throw SqlEmptyValueError(text);
    return out;
}
