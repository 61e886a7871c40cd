// The fuzz check of SQL text analysis and rebuilding with parameter values.
//
// The input is an SQL text and values, separated by the byte 0x1E; each `?` of the text
// takes a value as a parameter, each byte 0x1D becomes a `?` that takes its value as a
// reference to data inside TEXT does (substituted even when empty). The text is
// analysed and rebuilt twice, with and without trimming: once with the hostile values, once
// with sentinels, harmless identifiers that mark where each value lands. A lexer written
// here with the database's rules (quoted literals, E'' literals with backslash escapes,
// double-quoted identifiers, line and nested block comments, dollar-quoted strings) finds
// the place of each sentinel; from that the expected rebuilt text follows: a value inside a
// quoted literal with its quotes (and, in an E'' literal, its backslashes) doubled, a value
// anywhere else only when it is a number or a list of numbers, or a name (in ORDER BY also
// with ASC or DESC) where it stands as an item of an ORDER BY or GROUP BY list (else error 1).
// The rebuilt text must be exactly that, and its literals, identifiers, comments and dollar
// strings must be those of the sentinel text: a value never opens, closes or merges one. A
// value outside them stands apart from the name bytes around it and from a quote after it.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzChecks.h"
#include "base/HExcept.h"
#include "database/HSqlText.h"

using namespace quorvel;

namespace {

void Require(bool ok, const std::string& what) {
    if (!ok)
        throw FuzzViolation(what);
}

constexpr char kSeparator = '\x1e';
constexpr char kReference = '\x1d';
constexpr size_t kMaxValues = 64;
// Sentinels, numbers that may stand anywhere, so that the rebuild and the database treat
// the bytes around them as they treat the value's: one starting with a digit for a value that
// starts with a digit, a letter or an underscore (a name lands only where nothing joins it),
// one starting with a sign for the others. All end in a two-digit value index.
const std::string kDigitSentinel = "9.314159265358";
const std::string kSignSentinel = "+0.314159265358";
const std::string kSentinelMark = "314159265358";

bool IsWordByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A number: optional sign, digits, optionally a point and digits, with a digit on at least
// one side of the point (`7.` and `.5`, not `.`).
bool IsNumber(std::string_view v) {
    size_t p = (!v.empty() && (v[0] == '+' || v[0] == '-')) ? 1 : 0;
    size_t start = p, digits = 0;
    for (; p < v.size() && (IsDigit(v[p]) || (v[p] == '.' && p == start + digits)); ++p)
        digits += IsDigit(v[p]) ? 1 : 0;
    return digits > 0 && p == v.size();
}

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

bool IsName(std::string_view v) {
    return !v.empty() && IsLetter(v[0]) && std::all_of(v.begin(), v.end(), IsWordByte);
}

bool SameWord(std::string_view a, std::string_view upper) {
    if (a.size() != upper.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if ((a[i] >= 'a' && a[i] <= 'z' ? a[i] - 'a' + 'A' : a[i]) != upper[i])
            return false;
    return true;
}

// A sort key: a name, and in ORDER BY a name, blanks and ASC or DESC.
bool IsSortKey(std::string_view v, bool order) {
    size_t blank = v.find(' ');
    if (blank == std::string_view::npos || !order)
        return IsName(v);
    size_t word = v.find_first_not_of(' ', blank);
    std::string_view direction = word == std::string_view::npos ? std::string_view() : v.substr(word);
    return IsName(v.substr(0, blank)) && (SameWord(direction, "ASC") || SameWord(direction, "DESC"));
}

// What may stand anywhere outside a literal: a number, or numbers separated by commas with
// blanks around the commas.
bool MayStandBare(std::string_view v) {
    if (v.empty())
        return false;
    size_t start = 0;
    for (;;) {
        size_t comma = v.find(',', start);
        std::string_view item = v.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        if (start > 0)
            while (!item.empty() && item.front() == ' ')
                item.remove_prefix(1);
        if (comma != std::string_view::npos)
            while (!item.empty() && item.back() == ' ')
                item.remove_suffix(1);
        if (!IsNumber(item))
            return false;
        if (comma == std::string_view::npos)
            return true;
        start = comma + 1;
    }
}

// Tokens of a statement as the database reads them; only those that can hide text matter.
// The rules are PostgreSQL's, the stricter of the two databases: identifiers start with a
// letter, an underscore or a byte of 0x80 and above, and continue with those, digits and
// `$`; E'' literals start only where the E starts a token; '' continues a literal; block
// comments nest; a dollar-quoted string that is never closed runs to the end.
enum Special { kCode, kLiteral, kEscapedLiteral, kIdentifier, kComment, kDollar };

struct Token {
    Special kind;
    size_t begin, end;
};

bool IsIdentStart(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || u >= 0x80;
}
bool IsIdentByte(char c) { return IsIdentStart(c) || IsDigit(c) || c == '$'; }

// Whether a number starts at `p`: a digit, or a point before a digit.
bool StartsNumber(std::string_view t, size_t p, size_t n) {
    return IsDigit(t[p]) || (t[p] == '.' && p + 1 < n && IsDigit(t[p + 1]));
}

// The end of the number that starts at `p`: digits, a point and digits, an exponent with an
// optional sign; then a new token starts. Two points end it before the first (`0..` is 0
// and two points, as the database reads it), so an E after them starts a word of its own.
size_t NumberEnd(std::string_view t, size_t p, size_t n) {
    while (p < n && IsDigit(t[p]))
        ++p;
    if (p < n && t[p] == '.' && !(p + 1 < n && t[p + 1] == '.'))
        for (++p; p < n && IsDigit(t[p]);)
            ++p;
    size_t sign = p + 1 < n && (t[p + 1] == '+' || t[p + 1] == '-') ? 1 : 0;
    if (p + 1 + sign < n && (t[p] == 'e' || t[p] == 'E') && IsDigit(t[p + 1 + sign]))
        for (p += 1 + sign; p < n && IsDigit(t[p]);)
            ++p;
    return p;
}

// The special tokens of `t` (up to a NUL byte, where the driver's text ends).
std::vector<Token> Lex(std::string_view t) {
    size_t n = t.find('\0');
    if (n == std::string_view::npos)
        n = t.size();
    std::vector<Token> out;
    // From the opening quote at `p` past the closing one; a doubled quote continues.
    auto quoted = [&](size_t p, char q, bool escapes) {
        for (++p; p < n; ++p) {
            if (escapes && t[p] == '\\')
                ++p;
            else if (t[p] == q && p + 1 < n && t[p + 1] == q)
                ++p;
            else if (t[p] == q)
                return p + 1;
        }
        return n;
    };
    for (size_t p = 0; p < n;) {
        char c = t[p];
        if (IsIdentStart(c)) {
            size_t q = p;
            while (q < n && IsIdentByte(t[q]))
                ++q;
            if (q == p + 1 && (c == 'E' || c == 'e') && q < n && t[q] == '\'') {
                size_t e = quoted(q, '\'', true);
                out.push_back({kEscapedLiteral, p, e});
                q = e;
            }
            p = q;
        } else if (StartsNumber(t, p, n)) {
            p = NumberEnd(t, p, n);
        } else if (c == '\'' || c == '"') {
            size_t e = quoted(p, c, false);
            out.push_back({c == '"' ? kIdentifier : kLiteral, p, e});
            p = e;
        } else if (c == '-' && p + 1 < n && t[p + 1] == '-') {
            size_t e = t.substr(0, n).find('\n', p);
            e = e == std::string_view::npos ? n : e;
            out.push_back({kComment, p, e});
            p = e;
        } else if (c == '/' && p + 1 < n && t[p + 1] == '*') {
            size_t e = p;
            int depth = 0;
            while (e < n) {
                if (t[e] == '/' && e + 1 < n && t[e + 1] == '*') {
                    ++depth, e += 2;
                } else if (t[e] == '*' && e + 1 < n && t[e + 1] == '/') {
                    e += 2;
                    if (--depth == 0)
                        break;
                } else {
                    ++e;
                }
            }
            out.push_back({kComment, p, std::min(e, n)});
            p = std::min(e, n);
        } else if (c == '$') {
            size_t q = p + 1;
            if (q < n && IsIdentStart(t[q]))
                while (q < n && (IsIdentStart(t[q]) || IsDigit(t[q])))
                    ++q;
            if (q < n && t[q] == '$') {
                size_t close = t.substr(0, n).find(t.substr(p, q + 1 - p), q + 1);
                size_t e = close == std::string_view::npos ? n : close + (q + 1 - p);
                out.push_back({kDollar, p, e});
                p = e;
            } else {
                ++p;
            }
        } else {
            ++p;
        }
    }
    return out;
}

Special KindAt(const std::vector<Token>& tokens, size_t pos) {
    for (const Token& t : tokens)
        if (pos >= t.begin && pos < t.end)
            return t.kind;
    return kCode;
}

// Where a sentinel stands in a rebuilt sentinel text, and the value it stands for.
struct Landing {
    size_t at, length, value;
};

// The code tokens of `t`: words (names and numbers), single punctuation bytes, sentinels and
// the special tokens other than comments, with whether a blank or a comment stands before each.
struct Code {
    size_t begin, end;
    bool spaced;
};

std::vector<Code> CodeTokens(std::string_view t, const std::vector<Token>& special,
                             const std::vector<Landing>& landings) {
    size_t n = std::min(t.find('\0'), t.size());
    std::vector<Code> out;
    size_t k = 0, l = 0;
    bool spaced = false;
    for (size_t p = 0; p < n;) {
        while (k < special.size() && special[k].end <= p)
            ++k;
        while (l < landings.size() && landings[l].at < p)
            ++l;
        if (l < landings.size() && landings[l].at == p && KindAt(special, p) == kCode) {
            out.push_back({p, p + landings[l].length, spaced});
            spaced = false;
            p += landings[l].length;
        } else if (k < special.size() && special[k].begin == p) {
            if (special[k].kind == kComment) {
                spaced = true;
            } else {
                out.push_back({p, special[k].end, spaced});
                spaced = false;
            }
            p = special[k].end;
        } else if (t[p] == ' ' || t[p] == '\t' || t[p] == '\n' || t[p] == '\r' || t[p] == '\f') {
            spaced = true;
            ++p;
        } else {
            size_t q = p + 1;
            auto free = [&](size_t at) { return !(k < special.size() && special[k].begin == at); };
            if (StartsNumber(t, p, n)) {
                // A word right after a number is a word of its own (`1ORDER BY` is 1 and
                // ORDER BY), as the database reads it.
                q = NumberEnd(t, p, n);
            } else if (IsIdentStart(t[p])) {
                // A name starts with a letter, an underscore or a high byte; a `$` alone
                // (`$1`) is punctuation, as it is to the database.
                while (q < n && IsIdentByte(t[q]) && free(q))
                    ++q;
            }
            out.push_back({p, q, spaced});
            spaced = false;
            p = q;
        }
    }
    return out;
}

// Whether the code token `i` (a sentinel) stands as an item of an ORDER BY or GROUP BY list,
// and of which: 0 none, 1 GROUP BY, 2 ORDER BY. The list is found walking back at the same
// parenthesis depth over commas and expressions to BY after ORDER or GROUP; a clause keyword
// on the way (at any depth: the clause ends there) or a word that ends a list means none.
int SortItem(std::string_view s, const std::vector<Code>& code, size_t i) {
    auto word = [&](size_t k) { return s.substr(code[k].begin, code[k].end - code[k].begin); };
    auto is = [&](size_t k, std::string_view w) { return SameWord(word(k), w); };
    bool followed = i + 1 == code.size() || word(i + 1) == "," || word(i + 1) == ")" ||
                    word(i + 1) == ";" || (code[i + 1].spaced && IsIdentStart(s[code[i + 1].begin]) &&
                                           !IsDigit(s[code[i + 1].begin]));
    if (!followed || i == 0)
        return 0;
    if (!(word(i - 1) == "," || (is(i - 1, "BY") && code[i].spaced)))
        return 0;
    int depth = 0;
    for (size_t k = i; k-- > 0;) {
        std::string_view w = word(k);
        for (const char* clause : {"WHERE", "HAVING", "START", "CONNECT", "UNION", "MINUS", "INTERSECT"})
            if (is(k, clause))
                return 0;
        if ((is(k, "ORDER") || is(k, "GROUP")) && !(depth == 0 && k + 1 < i && is(k + 1, "BY")))
            return 0;
        if (w == ")") {
            ++depth;
        } else if (w == "(") {
            if (--depth < 0)
                return 0;
        } else if (depth == 0 && w == ";") {
            return 0;
        } else if (depth == 0 && is(k, "BY")) {
            // Only the BY of ORDER or GROUP opens a sort or grouping list; another BY
            // (`ORDER BY a BY b`) ends the walk.
            if (k > 0 && (is(k - 1, "ORDER") || is(k - 1, "GROUP")))
                return is(k - 1, "ORDER") ? 2 : 1;
            return 0;
        } else if (depth == 0) {
            for (const char* ends : {"LIMIT", "OFFSET", "FETCH", "FOR", "WINDOW", "ROWS", "RANGE"})
                if (is(k, ends))
                    return 0;
        }
    }
    return 0;
}

std::string Sentinel(size_t i, const std::string& value) {
    std::string index = std::to_string(100 + i).substr(1);
    return (IsWordByte(value[0]) ? kDigitSentinel : kSignSentinel) + index;
}

std::vector<Landing> FindSentinels(const std::string& s) {
    std::vector<Landing> out;
    for (size_t p = 0; p < s.size(); ++p) {
        for (const std::string* prefix : {&kDigitSentinel, &kSignSentinel}) {
            if (s.compare(p, prefix->size(), *prefix) != 0)
                continue;
            size_t q = p + prefix->size();
            Require(q + 2 <= s.size() && IsDigit(s[q]) && IsDigit(s[q + 1]), "malformed sentinel in rebuilt text");
            out.push_back({p, prefix->size() + 2, static_cast<size_t>((s[q] - '0') * 10 + (s[q + 1] - '0'))});
            p = q + 1;
            break;
        }
    }
    return out;
}

struct Build {
    int error = -1;
    int index = 0;
    std::vector<std::string> statements;
};

// Builds with `values` for the markers in order: those marked in `fromText` as the text's own
// values (what references in TEXT gave), the others as parameters.
Build Run(const HSqlAnalysis& analysis, const std::vector<std::string>& values,
          const std::vector<bool>& fromText, bool trim) {
    std::vector<std::string> params;
    HSqlTextValues textValues;
    for (size_t k = 0; k < values.size(); ++k) {
        if (fromText[k])
            textValues.emplace_back(static_cast<int>(k), values[k]);
        else
            params.push_back(values[k]);
    }
    Build b;
    try {
        b.statements = BuildStatements(analysis, params, b.index, trim, textValues);
    } catch (const HExcept& e) {
        b.error = e.code;
    }
    return b;
}

void CheckRebuild(const HSqlAnalysis& analysis, const std::vector<std::string>& values,
                  const std::vector<bool>& fromText, bool trim) {
    std::vector<std::string> sentinels(values.size());
    for (size_t i = 0; i < values.size(); ++i)
        if (!values[i].empty())
            sentinels[i] = Sentinel(i, values[i]);
    Build hostile = Run(analysis, values, fromText, trim);
    Build marked = Run(analysis, sentinels, fromText, trim);
    const std::string mode = trim ? " (trim)" : "";

    // Errors that do not depend on what the values hold: too few values (6), an empty value
    // that cannot be trimmed (41), an UPDATE or DELETE that would lose a whole condition (1).
    if (marked.error >= 0) {
        Require(marked.error == 1 || marked.error == 6 || marked.error == 41,
                "sentinel build raised " + std::to_string(marked.error));
        Require(hostile.error == marked.error || hostile.error == 1,
                "hostile build raised " + std::to_string(hostile.error) + ", sentinels " +
                    std::to_string(marked.error) + mode);
        return;
    }

    bool expectRefusal = false;
    std::vector<bool> landed(values.size());
    std::vector<std::string> expected;
    for (const std::string& s : marked.statements) {
        std::vector<Token> tokens = Lex(s);
        std::vector<Landing> landings = FindSentinels(s);
        std::vector<Code> code = CodeTokens(s, tokens, landings);
        std::string e;
        size_t from = 0;
        size_t c = 0;
        for (size_t k = 0; k < landings.size(); ++k) {
            const Landing& l = landings[k];
            Require(l.value < values.size(), "sentinel of an unknown value");
            const std::string& v = values[l.value];
            landed[l.value] = true;
            e.append(s, from, l.at - from);
            from = l.at + l.length;
            Special kind = KindAt(tokens, l.at);
            // A value outside quotes is a word of its own: name bytes around it (but another
            // value's) and a quote after it are kept apart by a blank, or the value would
            // join them (`BY?B` with 7 the name BY7B, `?'x'` with E the literal E'x'). A
            // value that starts with a sign or a point joins no name before it.
            size_t after = l.at + l.length;
            bool gluedBefore = l.at > 0 && IsIdentByte(s[l.at - 1]) && IsIdentByte(s[l.at]) &&
                               !(k > 0 && landings[k - 1].at + landings[k - 1].length == l.at);
            bool gluedAfter = after < s.size() &&
                              (IsIdentByte(s[after]) || s[after] == '\'' ||
                               (s[after] == '.' && after + 1 < s.size() && IsIdentStart(s[after + 1]))) &&
                              !(k + 1 < landings.size() && landings[k + 1].at == after);
            Require(kind != kCode || !(gluedBefore || gluedAfter),
                    "a value glued to the word beside it" + mode + ":\n marked " + s);
            while (c < code.size() && code[c].end <= l.at)
                ++c;
            int item = kind == kCode && c < code.size() && code[c].begin == l.at ? SortItem(s, code, c) : 0;
            if (item > 0 && IsSortKey(v, item == 2)) {
                e += v;
                continue;
            }
            if (v.find('\0') != std::string::npos) {
                expectRefusal = true;
            } else if (kind == kEscapedLiteral && (v[0] == '\'' || v[0] == '\\') &&
                       (l.at - s.find_last_not_of('\\', l.at - 1)) % 2 == 0) {
                expectRefusal = true;  // the text's backslash would escape the value's quote
            } else if (kind == kLiteral || kind == kEscapedLiteral) {
                for (char c : v) {
                    e += c;
                    if (c == '\'' || (c == '\\' && kind == kEscapedLiteral))
                        e += c;
                }
            } else if (!MayStandBare(v)) {
                expectRefusal = true;
            } else {
                if (v[0] == '-' && !e.empty() && e.back() == '-')
                    e += ' ';
                e += v;
            }
        }
        e.append(s, from);
        expected.push_back(e);
    }

    if (hostile.error >= 0) {
        // A bad value in a condition that trimming then drops may be refused as well.
        bool anyBad = false;
        for (int i = 0; i < marked.index && static_cast<size_t>(i) < values.size(); ++i)
            anyBad = anyBad || (!landed[i] && !values[i].empty() &&
                                (!MayStandBare(values[i]) || values[i].find('\0') != std::string::npos));
        Require(hostile.error == 1 && (expectRefusal || anyBad),
                "build raised " + std::to_string(hostile.error) + " for values that fit their places" + mode);
        return;
    }
    auto all = [](const std::vector<std::string>& statements) {
        std::string joined;
        for (const std::string& s : statements)
            joined += s + "\n";
        return joined;
    };
    Require(!expectRefusal, "a value that must be refused was substituted" + mode + ":\n got " +
                                all(hostile.statements) + "marked " + all(marked.statements));
    Require(hostile.index == marked.index, "values consumed differ" + mode);
    Require(hostile.statements.size() == expected.size(), "statement count differs" + mode);
    for (size_t i = 0; i < expected.size(); ++i) {
        const std::string& got = hostile.statements[i];
        Require(got == expected[i], "rebuilt statement differs from the expected substitution" + mode +
                                        ":\n got " + got + "\nwant " + expected[i]);
        // Same literals, identifiers, comments and dollar strings in the same order.
        std::vector<Token> a = Lex(got), b = Lex(marked.statements[i]);
        bool same = a.size() == b.size();
        for (size_t k = 0; same && k < a.size(); ++k)
            same = a[k].kind == b[k].kind;
        Require(same, "a value changed the quoting structure" + mode + ":\n got " + got + "\nmarked " +
                          marked.statements[i]);
    }
}

}  // namespace

void FuzzSqlText(const uint8_t* data, size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    size_t cut = in.find(kSeparator);
    std::string_view sql = in.substr(0, cut);
    std::vector<std::string> values;
    while (cut != std::string_view::npos && values.size() < kMaxValues) {
        size_t next = in.find(kSeparator, cut + 1);
        values.emplace_back(in.substr(cut + 1, next == std::string_view::npos ? std::string_view::npos : next - cut - 1));
        cut = next;
    }
    // A text that already holds a sentinel would make the landings ambiguous.
    std::string lower(sql);
    for (char& c : lower)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (lower.find(kSentinelMark) != std::string::npos)
        return;

    // A reference byte in the text stands for a reference to data inside TEXT: a marker
    // whose value the text itself gave (empty when no value is left for it).
    std::string text(sql);
    std::vector<bool> fromText;
    for (char& c : text) {
        if (c == '?' || c == kReference)
            fromText.push_back(c == kReference);
        if (c == kReference)
            c = '?';
    }
    std::vector<std::string> all;
    for (size_t k = 0; k < fromText.size() && (k < values.size() || fromText[k]); ++k)
        all.push_back(k < values.size() ? values[k] : std::string());

    HSqlAnalysis analysis;
    try {
        analysis = AnalyseSql(text);
    } catch (const HExcept& e) {
        Require(e.code == 1, "analysis raised " + std::to_string(e.code));
        return;
    }
    CheckRebuild(analysis, all, fromText, false);
    CheckRebuild(analysis, all, fromText, true);
}
