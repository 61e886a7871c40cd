#include "check/HCheckRules.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <strings.h>

#include "database/HSqlLexer.h"
#include "database/HSqlText.h"
#include "config/HConfig.h"
#include "base/HExcept.h"
#include "elements/HInputElement.h"
#include "template/HTagTable.h"
#include "values/HSymbolTable.h"
#include "values/HValue.h"

namespace quorvel {

namespace {

constexpr int kTagSelect = 55;

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The text of a value that needs no evaluation (words, `@@` and quoted strings of such).
bool StaticText(const HValue& v, std::string& out) {
    switch (v.Kind()) {
    case HValue::kWord:
    case HValue::kLiteral:
        out += v.Text();
        return true;
    case HValue::kQuoted:
        for (const HValuePtr& piece : static_cast<const HQuotedValue&>(v).Pieces())
            if (!StaticText(*piece, out))
                return false;
        return true;
    default:
        return false;
    }
}

// An SQL text as the analysis will see it, each @reference and call replaced by the
// placeholder, and as it is shown in messages, with the references as written.
struct SqlText {
    std::string text;
    std::string shown;
    bool dynamic = false;
};

void ComposeSql(const HValue& v, SqlText& out) {
    switch (v.Kind()) {
    case HValue::kQuoted:
        for (const HValuePtr& piece : static_cast<const HQuotedValue&>(v).Pieces())
            ComposeSql(*piece, out);
        return;
    case HValue::kVarRef:
    case HValue::kFuncCall:
        out.text += kSqlPlaceholder;
        out.shown += "@" + v.Text() + (v.Kind() == HValue::kFuncCall ? "(...)" : "");
        out.dynamic = true;
        return;
    default:
        out.text += v.Text();
        out.shown += v.Text();
    }
}

// What an SQL element defines, by the first six characters of its text (no blank
// skipped): a query, an action, nothing, or unknown when a reference comes first.
enum class SqlKind { kQuery, kAction, kNothing, kUnknown };

SqlKind Classify(const SqlText& sql) {
    if (sql.text.find(kSqlPlaceholder) < 6)
        return SqlKind::kUnknown;
    std::string_view head = std::string_view(sql.text).substr(0, 6);
    if (SameIgnoringCase(head, "SELECT"))
        return SqlKind::kQuery;
    if (SameIgnoringCase(head, "INSERT") || SameIgnoringCase(head, "UPDATE") ||
        SameIgnoringCase(head, "DELETE"))
        return SqlKind::kAction;
    return SqlKind::kNothing;
}

// The result columns a reference inside a DBRESULT body may name.
struct Columns {
    bool any = false;
    std::vector<std::string> names;

    bool Has(const std::string& name) const {
        if (any)
            return true;
        for (const std::string& n : names)
            if (SameIgnoringCase(n, name))
                return true;
        return false;
    }
};

// Standard HTML element names (upper case): an unknown tag of one of these names is meant
// for the browser, never a misspelt tag of the gateway.
bool IsHtmlTagName(std::string_view name) {
    static const std::set<std::string_view> kNames = {
        "A", "ABBR", "ACRONYM", "APPLET", "AREA", "ARTICLE", "ASIDE", "AUDIO", "B", "BASEFONT",
        "BDI", "BDO", "BIG", "BUTTON", "CANVAS", "CAPTION", "CENTER", "COL", "COLGROUP", "DATA",
        "DATALIST", "DEL", "DETAILS", "DIALOG", "DIV", "EMBED", "FIELDSET", "FIGCAPTION",
        "FIGURE", "FONT", "FOOTER", "FRAME", "FRAMESET", "HEADER", "HGROUP", "IFRAME", "INS",
        "LABEL", "LEGEND", "MAIN", "MAP", "MARK", "MARQUEE", "MATH", "METER", "NAV", "NOBR",
        "NOSCRIPT", "OBJECT", "OPTGROUP", "OUTPUT", "PARAM", "PICTURE", "PROGRESS", "Q", "RP",
        "RT", "RUBY", "S", "SCRIPT", "SEARCH", "SECTION", "SLOT", "SMALL", "SOURCE", "SPAN",
        "STRIKE", "STYLE", "SUB", "SUMMARY", "SUP", "SVG", "TABLE", "TBODY", "TD", "TEMPLATE",
        "TFOOT", "TH", "THEAD", "TIME", "TR", "TRACK", "U", "VIDEO", "WBR", "XMP"};
    return kNames.count(name) > 0;
}

// The edit distance of two names (insertions, deletions, substitutions and transpositions
// of neighbours), or more than `bound` when it exceeds it.
size_t EditDistance(std::string_view a, std::string_view b, size_t bound) {
    if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > bound)
        return bound + 1;
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// The tag of the gateway's own whose name is nearest to `name`, at most two edits away, or
// kTagUnknown.
int NearestOwnTag(std::string_view name) {
    int best = kTagUnknown;
    size_t bestDistance = 3;
    for (int tag : {kTagSql, kTagDbResult, kTagForm, kTagInput, kTagInclude, kTagFunction,
                    kTagTextArea, kTagLookup}) {
        size_t distance = EditDistance(name, TagName(tag), 2);
        if (distance < bestDistance) {
            best = tag;
            bestDistance = distance;
        }
    }
    return best;
}

bool IsListOf(const HValue* v, size_t items) {
    return v && v->Kind() == HValue::kParamList &&
           static_cast<const HParamList&>(*v).Items().size() == items;
}

// MAXROWS: a base-10 integer (leading white space and a sign allowed) that uses up the
// whole text and lies from 1 to 100.
bool IsValidMaxRows(const std::string& text) {
    if (text.empty())
        return false;
    char* end = nullptr;
    long n = std::strtol(text.c_str(), &end, 10);
    return end != text.c_str() && *end == '\0' && n >= 1 && n <= 100;
}

class Walker {
public:
    Walker(const HCheckNode& root, const HCheckNames& names, const HCheckDamage& damage,
           std::vector<HCheckFinding>& out)
        : root_(&root), names_(names), damage_(damage), out_(out) {}

    void Visit(const HCheckNode& e) {
        if (&e == damage_.broken) {
            VisitChildren(e);
            return;
        }
        switch (e.TagIndex()) {
        case kTagText:
            return;
        case kTagUnknown:
            CheckUnknownTag(e);
            return;
        case kTagSql:
            CheckSql(e);
            return;
        case kTagDbResult:
            CheckDbResult(e);
            return;
        case kTagForm:
            CheckForm(e);
            return;
        case kTagFunction:
            CheckFunction(e);
            return;
        case kTagInput:
            CheckInput(e);
            return;
        case kTagInclude:
            VisitChildren(e);
            return;
        case kTagLookup:
            if (!e.element) {
                if (e.value)
                    CheckEvaluated(e, "", *e.value, true);
                return;
            }
            break;
        default:
            break;
        }
        // Every other tag is written with its attributes evaluated; a TEXTAREA's NAME is
        // written as it stands.
        e.Attributes().ForEach([&](const std::string& name, const HValuePtr& value) {
            if (!(e.TagIndex() == kTagTextArea && name == "NAME"))
                CheckWritten(e, name, value.get());
        });
        VisitChildren(e);
    }

    // Called after the walk: what depends on the whole page.
    void Finish() {
        // Post-processing checks every text field of the page, and one without a name
        // fails it.
        if (!postProcessed_)
            return;
        for (const HCheckNode* input : unnamedTextInputs_)
            Report(*input, false,
                   CheckMessage(16, "a text <INPUT> without NAME fails every submission of "
                                    "the forms of this page"));
    }

private:
    struct SqlDefinition {
        SqlKind kind;
        Columns columns;
        bool trim = true;  // conditions of undefined parameters are left out
    };

    // The latest SQL element of this NAME when it may define an operation of `kind`.
    const SqlDefinition* Defined(const std::string& name, SqlKind kind) const {
        auto it = sql_.find(name);
        if (it == sql_.end() || (it->second.kind != kind && it->second.kind != SqlKind::kUnknown))
            return nullptr;
        return &it->second;
    }

    void VisitChildren(const HCheckNode& e) {
        for (const auto& child : e.Children())
            Visit(*child);
    }

    void Report(const HCheckNode& e, bool error, std::string message, std::string attribute = {},
                std::string needle = {}) {
        HCheckFinding f;
        f.element = &e;
        f.error = error;
        f.message = std::move(message);
        f.attribute = std::move(attribute);
        f.needle = std::move(needle);
        out_.push_back(std::move(f));
    }

    // A reference evaluated while the element is written; `columns` tells whether result
    // columns are in scope then (not in a post-process request).
    void CheckReference(const HCheckNode& e, const std::string& attribute, const std::string& name,
                        bool columns) {
        if (columns)
            for (const Columns* scope : scopes_)
                if (scope->Has(name))
                    return;
        if (names_.Defines(name)) {
            // While the page is written, a name that only the page's own form or links
            // send is missing on the visit that comes before them.
            if (columns && !undefinedTrimmed_ && names_.SentOnlyBy(name, root_))
                Report(e, false,
                       CheckMessage(9, name + " on a first visit (only a field or link of this "
                                         "page sends it; a configuration entry " + name +
                                         " = \"\" gives it a value until then)"),
                       attribute, "@" + name);
            return;
        }
        if (name.empty()) {
            Report(e, false, CheckMessage(9, "an @ followed by no name (write @@ for an at sign)"),
                   attribute, "@");
        } else if (sql_.count(name)) {
            Report(e, false, CheckMessage(14, name + " (an SQL operation has no text)"), attribute,
                   "@" + name);
        } else {
            Report(e, false,
                   CheckMessage(9, name + " (no configuration entry, built-in variable, result "
                                     "column or form field has this name)"),
                   attribute, "@" + name);
        }
    }

    void CheckEvaluated(const HCheckNode& e, const std::string& attribute, const HValue& v,
                        bool columns) {
        switch (v.Kind()) {
        case HValue::kVarRef:
            CheckReference(e, attribute, v.Text(), columns);
            return;
        case HValue::kQuoted:
            for (const HValuePtr& piece : static_cast<const HQuotedValue&>(v).Pieces())
                CheckEvaluated(e, attribute, *piece, columns);
            return;
        case HValue::kFuncCall:
            CheckCall(e, attribute, static_cast<const HFuncCall&>(v), columns);
            return;
        case HValue::kParamList:
            Report(e, false,
                   CheckMessage(13, (attribute.empty() ? std::string("a value") : attribute) +
                                   " is a list, which has no text"),
                   attribute);
            return;
        default:
            return;
        }
    }

    void CheckCall(const HCheckNode& e, const std::string& attribute, const HFuncCall& call,
                   bool columns) {
        const auto& args = call.Arguments().Items();
        std::string needle = "@" + call.Text() + "(";
        if (!SameIgnoringCase(call.Text(), "FIXED_WIDTH") || args.size() != 2) {
            Report(e, false,
                   CheckMessage(21, call.Text() + " with " + std::to_string(args.size()) +
                                   " arguments (the one function is FIXED_WIDTH, with two)"),
                   attribute, needle);
            return;
        }
        CheckEvaluated(e, attribute, *args[0], columns);
        CheckEvaluated(e, attribute, *args[1], columns);
        std::string width;
        if (StaticText(*args[1], width)) {
            long w = std::strtol(width.c_str(), nullptr, 10);
            if (w <= 0 || w > HFuncCall::kMaxWidth)
                Report(e, false,
                       CheckMessage(23, call.Text() + " width \"" + width +
                                       "\" is not a number from 1 to " +
                                       std::to_string(HFuncCall::kMaxWidth)),
                       attribute, needle);
        }
    }

    void CheckWritten(const HCheckNode& e, const std::string& attribute, const HValue* v) {
        if (v)
            CheckEvaluated(e, attribute, *v, true);
    }

    // A PARAM or INTO value: the items of a list are evaluated one by one.
    void CheckItems(const HCheckNode& e, const std::string& attribute, const HValue* v,
                    bool columns) {
        if (!v)
            return;
        if (v->Kind() != HValue::kParamList) {
            CheckEvaluated(e, attribute, *v, columns);
            return;
        }
        for (const HValuePtr& item : static_cast<const HParamList&>(*v).Items())
            CheckEvaluated(e, attribute, *item, columns);
    }

    void CheckSql(const HCheckNode& e) {
        if (!e.HasAttribute("TEXT")) {
            Report(e, true, CheckMessage(17, "<SQL> has no TEXT"));
            return;
        }
        const HValue* text = e.Attribute("TEXT");
        if (!text)
            return;  // the empty text, which defines nothing
        if (text->Kind() == HValue::kParamList) {
            Report(e, true, CheckMessage(13, "the TEXT of <SQL> is a list"), "TEXT");
            return;
        }
        SqlText sql;
        ComposeSql(*text, sql);
        SqlKind kind = Classify(sql);
        // An action is defined in a post-process request, where no result set is open.
        bool columns = kind != SqlKind::kAction;
        CheckEvaluated(e, "TEXT", *text, columns);
        if (kind == SqlKind::kNothing)
            return;
        CheckItems(e, "INTO", e.Attribute("INTO"), columns);
        // The error pages are evaluated when an error needs them; CONNECT is taken as written.
        for (const char* lazy : {"ERROR_URL", "NO_DATA_FOUND_URL"})
            if (const HValue* v = e.Attribute(lazy))
                CheckEvaluated(e, lazy, *v, columns);

        bool named = e.HasAttribute("NAME");
        const HValue* name = e.Attribute("NAME");
        std::string key = name ? name->GetText() : std::string();
        const HValue* trim = e.Attribute("TRIM");
        bool trimmed = !(trim && SameIgnoringCase(trim->GetText(), "FALSE"));
        if (kind == SqlKind::kUnknown) {
            if (named)
                sql_[key] = SqlDefinition{kind, Columns{true, {}}, trimmed};
            return;
        }
        if (!named)
            Report(e, true, CheckMessage(16, "<SQL> has no NAME"));
        CheckStatements(e, sql, kind);
        if (named)
            sql_[key] = SqlDefinition{kind, ColumnsOf(e, sql, kind), trimmed};
    }

    void CheckStatements(const HCheckNode& e, const SqlText& sql, SqlKind kind);

    Columns ColumnsOf(const HCheckNode& e, const SqlText& sql, SqlKind kind) const {
        Columns c;
        if (const HValue* into = e.Attribute("INTO")) {
            if (into->Kind() != HValue::kParamList) {
                std::string name;
                c.any = !StaticText(*into, name);
                c.names.push_back(name);
                return c;
            }
            const auto& items = static_cast<const HParamList&>(*into).Items();
            for (const HValuePtr& item : items) {
                std::string name;
                if (!StaticText(*item, name))
                    c.any = true;
                c.names.push_back(name);
            }
            if (!items.empty())  // an empty list counts as no INTO at all
                return c;
        }
        c.any = kind != SqlKind::kQuery || !SelectColumns(sql.text, c.names);
        return c;
    }

    void CheckDbResult(const HCheckNode& e) {
        Columns columns{true, {}};
        bool trim = true;
        if (!e.HasAttribute("QUERY")) {
            Report(e, true, CheckMessage(18, "<DBRESULT> has no QUERY"));
        } else {
            const HValue* v = e.Attribute("QUERY");
            std::string query = v ? v->GetText() : std::string();
            if (const SqlDefinition* d = Defined(query, SqlKind::kQuery)) {
                columns = d->columns;
                trim = d->trim;
            } else
                Report(e, false,
                       CheckMessage(25, query + " (no SQL element of this NAME with a SELECT text "
                                                "comes before this DBRESULT)"),
                       "QUERY");
        }
        if (e.HasAttribute("MAXROWS")) {
            const HValue* v = e.Attribute("MAXROWS");
            std::string text = v ? v->GetText() : std::string();
            if (!IsValidMaxRows(text))
                Report(e, true,
                       CheckMessage(29, "\"" + text + "\" (a whole number from 1 to 100 is needed)"),
                       "MAXROWS");
        }
        // With trimming, a PARAM value that is not defined leaves out its condition.
        undefinedTrimmed_ = trim;
        CheckItems(e, "PARAM", e.Attribute("PARAM"), true);
        undefinedTrimmed_ = false;
        scopes_.push_back(&columns);
        VisitChildren(e);
        scopes_.pop_back();
    }

    void CheckForm(const HCheckNode& e) {
        bool action = e.HasAttribute("SQLACTION");
        postProcessed_ = postProcessed_ || action;
        e.Attributes().ForEach([&](const std::string& name, const HValuePtr& value) {
            if (!action) {
                CheckWritten(e, name, value.get());
            } else if (name == "PARAM" || name == "VALIDATION") {
                // Evaluated only when the form is post-processed: no result set is open.
                CheckItems(e, name, value.get(), false);
            } else if (name != "SQLACTION" && name != "ACTION") {
                CheckWritten(e, name, value.get());
            }
        });
        if (e.HasAttribute("VALIDATION") && !IsListOf(e.Attribute("VALIDATION"), 4))
            Report(e, true,
                   CheckMessage(33, "VALIDATION is not a list of four items (program, command "
                                    "line, expected output, URL)"),
                   "VALIDATION");
        VisitChildren(e);
        if (!action || damage_.unclosed.count(&e))
            return;
        const HValue* v = e.Attribute("SQLACTION");
        std::string name = v ? v->GetText() : std::string();
        if (!Defined(name, SqlKind::kAction))
            Report(e, false,
                   CheckMessage(27, name + " (no SQL element of this NAME with an INSERT, UPDATE or "
                                      "DELETE text comes before the end of this FORM)"),
                   "SQLACTION");
    }

    void CheckUnknownTag(const HCheckNode& e) {
        const std::string& text = e.text;
        std::string name = text.substr(0, text.find_first_of(" \t\n"));
        int known = LookupTag(name);
        if (known >= kFirstEndTag) {
            // The page keeps going past it, but the author almost always meant it to close
            // something: a paragraph a known tag already ended, a misnested element.
            Report(e, true,
                   "end tag <" + name +
                       "> closes no open element, so it is written to the page as text" +
                       (known == kTagP + kEndTagOffset
                            ? " (a <P> ends at the first known tag other than IMG, COMMENT, I, EM, B, "
                              "STRONG and DFN)"
                            : ""));
            return;
        }
        bool end = !name.empty() && name[0] == '/';
        std::string_view bare = std::string_view(name).substr(end ? 1 : 0);
        if (IsHtmlTagName(bare))
            return;
        int meant = NearestOwnTag(bare);
        if (meant == kTagUnknown)
            return;
        std::string own(TagName(meant));
        bool hasEnd = meant >= kTagDbResult;
        if (end && own == bare)
            Report(e, true, "<" + name + "> closes nothing: <" + own +
                                "> has no end tag, and this one is written to the page as text");
        else
            Report(e, true,
                   "unknown tag <" + name + "> is written to the page as text: is <" +
                       (end && hasEnd ? "/" : "") + own + "> meant?" +
                       (end && !hasEnd ? " (it has no end tag)" : ""));
    }

    void CheckFunction(const HCheckNode& e) {
        bool page = true;
        if (e.HasAttribute("PROCESS")) {
            const HValue* v = e.Attribute("PROCESS");
            page = v && SameIgnoringCase(v->GetText(), "PRE");
        }
        for (const char* name : {"DEFAULT", "PATH", "COMMAND"})
            if (const HValue* v = e.Attribute(name))
                CheckEvaluated(e, name, *v, page);
        if (!e.Attribute("COMMAND")) {
            if (e.HasAttribute("DEFAULT"))
                Report(e, false,
                       CheckMessage(22, "<FUNCTION> has no COMMAND, so its DEFAULT is always written"));
            else
                Report(e, true, CheckMessage(22, "<FUNCTION> has no COMMAND"));
        }
        // The element's content is never written, nor is anything in it defined. The
        // warning stands where the swallowed content begins and quotes it.
        const auto& children = e.Children();
        for (size_t i = 0; i < children.size(); ++i) {
            const HCheckNode& first = *children[i];
            std::string needle;
            if (first.TagIndex() == kTagText) {
                const std::string& t = first.text;
                size_t start = 0;
                while (start < t.size() && IsBlank(t[start]))
                    ++start;
                if (start == t.size())
                    continue;
                needle = t.substr(start, t.find_first_of(" \t\r\n", start) - start);
            }
            std::string source;
            std::string unknownEnd;
            for (size_t j = i; j < children.size() && source.size() <= 80; ++j) {
                AppendSource(*children[j], source);
                if (unknownEnd.empty() && children[j]->TagIndex() == kTagUnknown) {
                    const std::string& t = children[j]->text;
                    if (!t.empty() && t[0] == '/')
                        unknownEnd = "<" + t.substr(0, t.find_first_of(" \t\n")) + ">";
                }
            }
            Report(first, false,
                   "the text and tags after <FUNCTION> up to the end of its enclosing element "
                   "belong to it and are never written: \"" + CheckExcerpt(source) + "\"" +
                       (unknownEnd.empty() ? std::string()
                                           : " (" + unknownEnd +
                                                 " does not end a FUNCTION: only the end tag of "
                                                 "an enclosing element that the gateway knows does)"),
                   std::string(), needle);
            return;
        }
    }

    // Appends the source of an element as far as the tree keeps it, to quote it.
    static void AppendSource(const HCheckNode& e, std::string& out) {
        switch (e.TagIndex()) {
        case kTagText:
            out += e.text;
            return;
        case kTagUnknown:
            out += "<" + e.text + ">";
            return;
        case kTagLookup:
            if (!e.element) {
                if (e.value)
                    out += "@" + e.value->Text();
                return;
            }
            break;
        default:
            break;
        }
        out += "<" + std::string(TagName(e.TagIndex())) + ">";
        for (const auto& child : e.Children())
            AppendSource(*child, out);
        if (e.TagIndex() >= kTagDbResult)
            out += "</" + std::string(TagName(e.TagIndex())) + ">";
    }

    void CheckInput(const HCheckNode& e) {
        // Only a field of type text has its constraints checked.
        const HValue* type = e.Attribute("TYPE");
        bool text = !type || SameIgnoringCase(type->GetText(), "TEXT");
        if (text && !e.Attribute("NAME"))
            unnamedTextInputs_.push_back(&e);
        e.Attributes().ForEach([&](const std::string& name, const HValuePtr& value) {
            if (name == "MANDATORY" || name == "DATATYPE" || name == "LOW_VALUE" ||
                name == "HIGH_VALUE")
                CheckConstraint(e, name, value.get(), text);
            else if (name != "NAME")
                CheckWritten(e, name, value.get());
        });
    }

    void CheckConstraint(const HCheckNode& e, const std::string& name, const HValue* v, bool text);

    const HCheckNode* root_;
    const HCheckNames& names_;
    const HCheckDamage& damage_;
    std::vector<HCheckFinding>& out_;
    std::map<std::string, SqlDefinition> sql_;  // the latest SQL element of each NAME
    std::vector<const Columns*> scopes_;        // enclosing result sets, innermost last
    std::vector<const HCheckNode*> unnamedTextInputs_;
    bool postProcessed_ = false;  // the page has a form that comes back to it
    bool undefinedTrimmed_ = false;  // a reference being checked may be undefined
};

}  // namespace


namespace {

// The analysis an SQL element makes when it defines its operation. With references in the
// text, each stands for one value, and what is found is only likely: a warning.
void Walker::CheckStatements(const HCheckNode& e, const SqlText& sql, SqlKind kind) {
    bool sure = !sql.dynamic;
    std::string note = sure ? "" : " (each @reference taken as one value)";
    try {
        HSqlAnalysis analysis = AnalyseSql(sql.text);
        if (kind == SqlKind::kQuery && analysis.size() != 1)
            Report(e, sure, CheckMessage(19, CheckExcerpt(sql.shown)) + note, "TEXT");
    } catch (const HExcept& x) {
        Report(e, sure, CheckMessage(x.code, CheckExcerpt(sql.shown)) + note, "TEXT");
    }
}

void Walker::CheckConstraint(const HCheckNode& e, const std::string& name, const HValue* v,
                             bool text) {
    if (!IsListOf(v, 2)) {
        Report(e, true, CheckMessage(30, name + " is not a list of two items (setting, URL)"), name);
        return;
    }
    if (!text)
        return;
    std::string setting = static_cast<const HParamList&>(*v).Items()[0]->GetText();
    if (name == "DATATYPE") {
        if (!SameIgnoringCase(setting, "NUMBER") && !SameIgnoringCase(setting, "DATE") &&
            !SameIgnoringCase(setting, "CHAR"))
            Report(e, false,
                   "DATATYPE \"" + setting +
                       "\" is none of NUMBER, DATE and CHAR, so the value is not checked",
                   name);
        return;
    }
    double bound;
    if ((name == "LOW_VALUE" || name == "HIGH_VALUE") && !ParseConstraintNumber(setting, bound))
        Report(e, true, CheckMessage(30, name + " bound \"" + setting + "\" is not a number"), name);
}

void CollectFields(const HCheckNode& e, std::set<std::string>& fields) {
    int tag = e.TagIndex();
    if (tag == kTagFunction)
        return;  // never written
    if (tag == kTagInput || tag == kTagTextArea || tag == kTagSelect) {
        if (const HValue* name = e.Attribute("NAME"))
            fields.insert(name->GetText());
    }
    // Parameters of the query strings in links and form targets.
    e.Attributes().ForEach([&](const std::string&, const HValuePtr& value) {
        if (!value)
            return;
        std::string text = value->GetText();
        size_t q = text.find('?');
        while (q != std::string::npos) {
            size_t start = q + 1;
            size_t end = text.find_first_of("&?", start);
            size_t eq = text.find('=', start);
            if (eq != std::string::npos && eq < end && eq > start)
                fields.insert(text.substr(start, eq - start));
            q = end;
        }
    });
    for (const auto& child : e.Children())
        CollectFields(*child, fields);
}

// One token of a select list: its kind (HSqlTokenKind) and its text, blanks cut off.
struct SqlToken {
    int kind;
    std::string_view text;
};

SqlToken NextToken(std::string_view sql, size_t& pos) {
    size_t start = SkipSqlSpace(sql, pos);
    std::string_view span;
    int kind = NextSqlToken(sql, pos, span);
    return {kind, sql.substr(start, pos - start)};
}

// The name of one select-list item; false when the item has none that a reference could
// use (`unknown` set when it may have any).
bool ItemName(const std::vector<SqlToken>& item, std::string& name, bool& unknown) {
    unknown = false;
    if (item.empty())
        return false;
    for (const SqlToken& t : item)
        if (t.text.find(kSqlPlaceholder) != std::string_view::npos && t.kind != kSqlLiteral)
            unknown = true;
    if (unknown || item.back().text == "*") {
        unknown = true;
        return false;
    }
    const SqlToken& last = item.back();
    if (last.kind != kSqlWord)
        return false;
    // `expr AS name`, `t.name`, and an alias written right after an expression.
    if (item.size() > 1) {
        const SqlToken& before = item[item.size() - 2];
        if (before.kind == kSqlOther && before.text != ".")
            return false;
    }
    std::string_view text = last.text;
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        text = text.substr(1, text.size() - 2);
    name = std::string(text);
    return true;
}

}  // namespace

const HNameMap<HValuePtr>& HCheckNode::Attributes() const {
    static const HNameMap<HValuePtr> kNone;
    return element ? element->Attributes() : kNone;
}

std::string CheckMessage(int code, const std::string& detail) {
    std::string text = HExcept::MessageText(code);
    return detail.empty() ? text : text + ": " + detail;
}

std::string CheckExcerpt(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (IsBlank(c)) {
            if (!out.empty() && out.back() != ' ')
                out.push_back(' ');
            continue;
        }
        if (out.size() >= 60)
            return out + "...";
        out.push_back(c);
    }
    if (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

bool HCheckNames::Defines(const std::string& name) const {
    // A field named _X_ is sent but defines nothing (requests set no _X_ name).
    return (configuration && configuration->Contains(name)) || IsBuiltinVariable(name) ||
           (fields.count(name) && !IsReservedName(name)) || name == "_POST_PROCESS_" ||
           name == "_MAX_NAME_MODIFIER_";
}

bool HCheckNames::SentOnlyBy(const std::string& name, const HCheckNode* root) const {
    if ((configuration && configuration->Contains(name)) || IsBuiltinVariable(name))
        return false;
    auto it = fields.find(name);
    return it != fields.end() && it->second.size() == 1 && it->second.count(root);
}

void CollectFieldNames(const HCheckNode& root, std::set<std::string>& fields) {
    CollectFields(root, fields);
}

void CheckTree(const HCheckNode& root, const HCheckNames& names, const HCheckDamage& damage,
               std::vector<HCheckFinding>& out) {
    Walker walker(root, names, damage, out);
    walker.Visit(root);
    walker.Finish();
}

bool SelectColumns(std::string_view sql, std::vector<std::string>& names) {
    size_t pos = 0;
    if (NextToken(sql, pos).kind != kSqlSelect)
        return false;
    size_t mark = pos;
    SqlToken t = NextToken(sql, pos);
    if (!(t.kind == kSqlWord && (SqlWordIs(t.text, "DISTINCT") || SqlWordIs(t.text, "ALL"))))
        pos = mark;
    std::vector<SqlToken> item;
    int depth = 0;
    for (;;) {
        t = NextToken(sql, pos);
        bool endOfList = t.kind == kSqlEnd || t.kind == kSqlSemicolon ||
                         (depth == 0 && ((t.kind == kSqlWord && SqlWordIs(t.text, "FROM")) ||
                                         (t.kind >= kSqlWhere && t.kind <= kSqlBetween)));
        if (endOfList || (depth == 0 && t.text == ",")) {
            std::string name;
            bool unknown;
            if (ItemName(item, name, unknown))
                names.push_back(name);
            else if (unknown)
                return false;
            item.clear();
            if (endOfList)
                return true;
            continue;
        }
        if (t.kind == kSqlOpen)
            ++depth;
        else if (t.kind == kSqlClose)
            --depth;
        item.push_back(t);
    }
}

}  // namespace quorvel
