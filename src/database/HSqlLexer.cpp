#include "database/HSqlLexer.h"

#include <algorithm>
#include <cstring>

#include "base/HExcept.h"

namespace quorvel {

namespace {

// ---------------------------------------------------------------------------------------
// Lexical rules shared by the analysis and the substitution of values. A `?` counts as
// inside a literal only where the database sees a literal too, so the lexer also knows the
// places where an apostrophe does not open one: comments, double-quoted identifiers and
// dollar-quoted strings. E'...' literals take backslash escapes.

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

// White space as both databases read it, carriage returns (CR LF line ends) and form feeds too.
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// The text ends at its end or at a NUL byte (the driver receives it zero-terminated).
bool AtEnd(std::string_view t, std::size_t p) { return p >= t.size() || t[p] == '\0'; }

// How the inside of a token treats a `?`.
enum Quoting { kBare, kLiteral, kEscapedLiteral };

// Skips blanks, tabs, line ends and comments from `p`; returns the first other position.
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
// text when it is never closed. With `escapes`, a backslash protects the byte after it. A
// doubled quote stands for one quote inside: the database reads E'it''s ?' as one literal
// that takes backslash escapes all through, so the `?` after the doubled quote must get them.
std::size_t SkipQuoted(std::string_view t, std::size_t p, char quote, bool escapes) {
    ++p;
    while (!AtEnd(t, p)) {
        if (escapes && t[p] == '\\') {
            p = AtEnd(t, p + 1) ? p + 1 : p + 2;
        } else if (t[p] == quote && p + 1 < t.size() && t[p + 1] == quote) {
            p += 2;
        } else if (t[p] == quote) {
            return p + 1;
        } else {
            ++p;
        }
    }
    return p;
}

bool IsNameStart(char c) { return IsLetter(c) || static_cast<unsigned char>(c) >= 0x80; }

// Length of a dollar-quote delimiter ($$ or $tag$) at `p`, where a token starts, or 0 when
// there is none. A tag starts with a letter, an underscore or a byte of 0x80 and above.
std::size_t DollarTagLength(std::string_view t, std::size_t p) {
    std::size_t q = p + 1;
    if (q < t.size() && IsNameStart(t[q])) {
        while (q < t.size() && t[q] != '$' && IsSqlNameByte(t[q]))
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
// its kind and how a `?` inside it is treated. Tokens are cut where the database cuts them,
// so that a `$` or an E means here what it means there: a name runs from a letter, an
// underscore or a byte of 0x80 and above over those, digits and `$` (`a$$` is a name, no
// dollar quote); a number is digits, a point and digits (digits on one side at least; two
// points end it before the first) and an exponent with an optional sign, after which a new
// token starts (`3$$` opens a dollar quote, `0.E1E'x'` is the number 0.E1 and an E''
// literal); a name that is just E, directly followed by a quote, opens an E'' literal, which
// takes backslash escapes.
std::size_t LexToken(std::string_view t, std::size_t p, int& kind, Quoting& quoting) {
    char c = t[p];
    quoting = kBare;
    if (c == '\'') {
        kind = kSqlLiteral;
        quoting = kLiteral;
        return SkipQuoted(t, p, '\'', false);
    }
    if (c == '"') {
        kind = kSqlWord;  // a quoted identifier is never a keyword
        return SkipQuoted(t, p, '"', false);
    }
    if (c == '$') {
        if (std::size_t tag = DollarTagLength(t, p)) {
            std::size_t close = t.find(t.substr(p, tag), p + tag);
            std::size_t nul = t.find('\0', p + tag);
            kind = kSqlWord;
            if (close != std::string_view::npos && (nul == std::string_view::npos || close < nul))
                return close + tag;
            // Never closed: the rest is the string's, and a value there could close it
            // ('$$; DROP ...'), so its markers take only values that may stand bare.
            return nul == std::string_view::npos ? t.size() : nul;
        }
    }
    if (IsNameStart(c)) {
        std::size_t q = p;
        while (q < t.size() && IsSqlNameByte(t[q]))
            ++q;
        if (q == p + 1 && (c == 'E' || c == 'e') && q < t.size() && t[q] == '\'') {
            kind = kSqlLiteral;
            quoting = kEscapedLiteral;
            return SkipQuoted(t, q, '\'', true);
        }
        kind = WordKind(t.substr(p, q - p));
        return q;
    }
    auto isDigit = [&](std::size_t q) { return q < t.size() && t[q] >= '0' && t[q] <= '9'; };
    if (isDigit(p) || (c == '.' && isDigit(p + 1))) {
        auto digits = [&](std::size_t q) {
            while (isDigit(q))
                ++q;
            return q;
        };
        std::size_t q = digits(p);
        if (q < t.size() && t[q] == '.' && !(q + 1 < t.size() && t[q + 1] == '.'))
            q = digits(q + 1);
        std::size_t sign = q + 1 < t.size() && (t[q + 1] == '+' || t[q + 1] == '-') ? 1 : 0;
        if (q < t.size() && (t[q] == 'e' || t[q] == 'E') && isDigit(q + 1 + sign))
            q = digits(q + 1 + sign);
        kind = kSqlWord;
        return q;
    }
    kind = c == '(' ? kSqlOpen : c == ')' ? kSqlClose : c == ';' ? kSqlSemicolon : kSqlOther;
    return p + 1;
}

HExcept SyntaxError() { return HExcept(kErrSqlSyntax); }

// An optional sign, digits, an optional point and digits; digits on at least one side of
// the point (`7.` and `.5` are numbers, `.` and `-.` are not).
bool IsNumber(std::string_view v) {
    std::size_t p = 0;
    if (p < v.size() && (v[p] == '+' || v[p] == '-'))
        ++p;
    std::size_t digits = 0;
    auto skipDigits = [&] {
        for (; p < v.size() && v[p] >= '0' && v[p] <= '9'; ++p)
            ++digits;
    };
    skipDigits();
    if (p < v.size() && v[p] == '.') {
        ++p;
        skipDigits();
    }
    return digits > 0 && p == v.size();
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

HExcept SqlEmptyValueError(std::string_view) {
    return HExcept(kErrSqlParameterUndefined, std::string(), std::string());
}

namespace {

// Where the markers of an ORDER BY or GROUP BY clause stand as items of its list. The clause
// text starts with its keyword; the list runs from BY to a close parenthesis that the clause
// did not open (a window's ORDER BY), a semicolon, or a word that starts what follows a list
// (LIMIT 5, ? is no list item) or another BY. An item is a marker right after BY or a comma
// of the list, followed by the end, a comma, a close parenthesis, a semicolon or a word (a
// value glued to BY or to the word gets a blank between them): a name there can only choose
// a sort or grouping key, never join the text around it or call a function.
class SortList {
public:
    explicit SortList(std::string_view text) {
        std::size_t pos = 0;
        std::string_view span;
        int kind = NextSqlToken(text, pos, span);
        if (kind != kSqlOrder && kind != kSqlGroup)
            return;
        order_ = kind == kSqlOrder;
        start_ = pos;
        if (NextSqlToken(text, pos, span) == kSqlWord && SqlWordIs(TrimSpace(span), "BY"))
            open_ = true, item_ = true, start_ = pos;
    }

    // Where the list's tokens begin: the tokens before it are not looked at.
    std::size_t Start() const { return start_; }
    bool Order() const { return order_; }

    // Follows the token [pos, end) of `text`; returns whether it is a marker that stands as
    // an item of the list.
    bool Next(std::string_view text, std::size_t pos, std::size_t end, int kind) {
        bool itemStart = item_;
        item_ = false;
        if (!open_)
            return false;
        char c = text[pos];
        if (kind == kSqlOpen) {
            ++depth_;
        } else if (kind == kSqlClose) {
            open_ = depth_-- > 0;
        } else if (kind == kSqlSemicolon) {
            open_ = false;
        } else if (c == ',') {
            item_ = depth_ == 0;
        } else if (kind == kSqlWord && depth_ == 0) {
            std::string_view w = text.substr(pos, end - pos);
            // A second BY (`ORDER BY a BY b`) is no part of this list either.
            for (const char* ends : {"LIMIT", "OFFSET", "FETCH", "FOR", "WINDOW", "ROWS", "RANGE", "BY"})
                open_ = open_ && !SqlWordIs(w, ends);
        } else if (c == '?' && itemStart && depth_ == 0) {
            std::size_t next = SkipSqlSpace(text, end);
            if (AtEnd(text, next))
                return true;
            char n = text[next];
            return n == ',' || n == ')' || n == ';' || IsNameStart(n);
        }
        return false;
    }

private:
    static std::string_view TrimSpace(std::string_view span) {
        return span.substr(std::min(span.size(), SkipSqlSpace(span, 0)));
    }

    bool order_ = false;
    bool open_ = false;
    bool item_ = false;
    int depth_ = 0;
    std::size_t start_ = 0;
};

bool IsSortName(std::string_view v) {
    return !v.empty() && IsLetter(v[0]) && std::all_of(v.begin(), v.end(), IsSqlWordByte);
}

// A name, and in an ORDER BY list optionally blanks and ASC or DESC after it.
bool IsSortKey(std::string_view value, bool order) {
    std::size_t blank = value.find(' ');
    if (!order || blank == value.npos)
        return IsSortName(value);
    std::size_t word = value.find_first_not_of(' ', blank);
    std::string_view direction = word == value.npos ? std::string_view() : value.substr(word);
    return IsSortName(value.substr(0, blank)) &&
           (SqlWordIs(direction, "ASC") || SqlWordIs(direction, "DESC"));
}

}  // namespace

// Appends `text` to `out` with its markers replaced. Returns false when a marker's value is
// empty (what was appended is then of no use); raises HExcept 6 and 1 for the other faults.
bool AppendSqlSubstituted(std::string& out, std::string_view text,
                          const std::vector<std::string>& values, int& index,
                          const std::vector<bool>* fixed, bool backslashEscapes) {
    // Where the database reads backslashes in every quoted text, a text without markers must
    // still be lexed: the check below applies to it too.
    if (text.find('?') == text.npos && (!backslashEscapes || text.find('\\') == text.npos)) {
        out += text;
        return true;
    }
    std::size_t from = 0;
    bool empty = false;
    SortList sortList(text);
    // `code`: the marker stands as a token of its own, not inside a comment, a quoted
    // identifier or a dollar-quoted string; `item`: it is an item of a sort or grouping list.
    auto substitute = [&](std::size_t at, Quoting quoting, bool code, bool item) {
        out.append(text, from, at - from);
        from = at + 1;
        if (index < 0 || static_cast<std::size_t>(index) >= values.size())
            throw HExcept(kErrSqlParameterCount);
        const std::string& value = values[static_cast<std::size_t>(index)];
        if (value.empty()) {
            if (!fixed || !(*fixed)[static_cast<std::size_t>(index)]) {
                empty = true;
                return;
            }
            if (quoting == kBare)
                throw SyntaxError();
        }
        if (value.find('\0') != std::string::npos)
            throw SyntaxError();
        if (quoting == kBare) {
            if (!IsBareSqlValue(value) && !(item && IsSortKey(value, sortList.Order())))
                throw SyntaxError();
            if (value[0] == '-' && !out.empty() && out.back() == '-')
                out += ' ';  // `5-?` with -1 must not become the comment `5--1`
            // A value glued to name bytes would join them into one word: `ORDER BY?B` with
            // 7 would read as the name BY7B and no sort list, `$t?t$` with 2 as the dollar-
            // quote tag $t2t$, `S?358E'` with 3 as the name S3358E before a plain literal.
            // So a blank keeps the value a word of its own on each side where name bytes
            // touch it, and after it where a quote does (`?'x'` with E must not become the
            // escaped literal E'x') or a point and a letter (`?.E1E'x'` with 7 would read as
            // the number 7.E1 before an E'' literal, where the text has a name E1E).
            if (code && at > 0 && IsSqlNameByte(text[at - 1]))
                out += ' ';
            out += value;
            if (code && at + 1 < text.size() &&
                (IsSqlNameByte(text[at + 1]) || text[at + 1] == '\'' ||
                 (text[at + 1] == '.' && at + 2 < text.size() && IsNameStart(text[at + 2]))))
                out += ' ';
        } else {
            // In E'\?' the source's backslash escapes the value's first byte: a quote there
            // would close the literal, a backslash would escape the byte after it. Where the
            // database reads backslashes in plain literals too, they are escaped literals.
            const bool escaped = quoting == kEscapedLiteral || backslashEscapes;
            std::size_t backslashes = 0;
            while (escaped && backslashes < at && text[at - 1 - backslashes] == '\\')
                ++backslashes;
            if (backslashes % 2 == 1 && (value[0] == '\'' || value[0] == '\\'))
                throw SyntaxError();
            for (char c : value) {
                out += c;
                if (c == '\'' || (c == '\\' && escaped))
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
            substitute(i, kBare, false, false);  // inside a comment
        if (AtEnd(text, pos))
            break;
        int kind;
        Quoting quoting;
        std::size_t end = LexToken(text, pos, kind, quoting);
        // A quoted text where a backslash escapes a quote (`'it\'s'`, `'a\'`) ends elsewhere
        // for such a database than here, and a value could then land outside its literal.
        if (backslashEscapes && (text[pos] == '\'' || text[pos] == '"') &&
            SkipQuoted(text, pos, text[pos], true) != end)
            throw SyntaxError();
        bool item = pos >= sortList.Start() && sortList.Next(text, pos, end, kind);
        for (std::size_t i = text.find('?', pos); i < end && !empty; i = text.find('?', i + 1))
            substitute(i, quoting, kind == kSqlOther, item);
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

}  // namespace quorvel
