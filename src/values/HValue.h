// HValue and its kinds: the parsed form of an attribute value, of an at-sign expression in
// template text, and of everything the symbol table holds.
//
// Values are never evaluated when read, only when an element is written, so one value may
// give a different text each time (once per result row). A container value (list, quoted
// string, function call) owns its items. Kind codes are fixed: 1 word, 2 literal,
// 3 reference, 4 parameter list, 5 SQL operation, 6 quoted string, 7 function call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/HResultSet.h"

namespace quorvel {

class HContext;

// Text being evaluated for one place, which decides how the data in it is written. Every
// value has an origin: the template's own text and the configuration file are the site
// author's; request parameters, CGI variables and result columns are data. Author text is
// always taken as it stands. Data is taken as it is for kRaw (program arguments, redirects,
// constraint checks, logs), and for kSql as a `?` marker whose value is kept aside in
// `sqlValues`, so that the SQL rebuild substitutes it by the rules of the place it lands in.
// The page sinks escape data for where it lands: kPage (running text and most attribute
// values) through EscapeForHtml, kScript (SCRIPT content, event handlers) as JavaScript,
// kStyle (STYLE content and attribute) as CSS. The text of a URL attribute (`url`) also keeps
// the data that starts it aside, raw, so that its scheme can be judged.
class HText {
public:
    enum Sink { kRaw, kSql, kPage, kScript, kStyle };

    explicit HText(Sink sink, bool url = false) : sink(sink), leadOpen_(url) {}

    void Author(std::string_view s) {
        text.append(s);
        if (sink == kSql)
            CountMarkers(s);
        else if (leadOpen_)
            AuthorInUrl(s);
    }
    void Data(std::string_view s);
    void Append(std::string_view s, bool data) { data ? Data(s) : Author(s); }
    // kPage: text already written for the page (data in it escaped).
    void Written(std::string_view s, bool data) {
        text.append(s);
        hasData = hasData || data;
    }

    // The length of the text with the data kept aside.
    size_t Length() const { return text.size() + asideBytes_; }

    // A URL: the data before any author text but blanks, raw, and where it ends in `text`.
    const std::string& LeadingData() const { return lead_; }
    size_t LeadingDataEnd() const { return leadEnd_; }

    const Sink sink;
    std::string text;
    bool hasData = false;
    // kSql: each data value with the number of markers that stand before it in `text`.
    std::vector<std::pair<int, std::string>> sqlValues;

private:
    void CountMarkers(std::string_view s);
    void AuthorInUrl(std::string_view s);
    int markers_ = 0;
    size_t asideBytes_ = 0;
    bool leadOpen_;  // a URL whose text holds nothing but data and blanks so far
    std::string lead_;
    size_t leadEnd_ = 0;
};

class HValue {
public:
    enum Kind {
        kWord = 1,
        kLiteral = 2,
        kVarRef = 3,
        kParamList = 4,
        kSqlOperation = 5,
        kQuoted = 6,
        kFuncCall = 7,
    };

    HValue(int kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    virtual ~HValue() = default;
    HValue(const HValue&) = delete;
    HValue& operator=(const HValue&) = delete;

    int Kind() const { return kind_; }
    const std::string& Text() const { return text_; }

    // The value's text for output or use, computed now, data included as it is. `modifier`
    // is a name-modifier suffix for variable lookups, nullptr when there is none.
    virtual std::string Evaluate(HContext& ctx, const std::string* modifier) const = 0;
    // Appends the value's text to `out`, its data written as `out` writes data. A value
    // without data of its own appends its evaluated text as the author's.
    virtual void EvaluateInto(HContext& ctx, const std::string* modifier, HText& out) const {
        out.Author(Evaluate(ctx, modifier));
    }
    // The text as written, without evaluation (names, keywords, file names, URLs).
    virtual std::string GetText() const = 0;

protected:
    int kind_;
    std::string text_;
};

using HValuePtr = std::unique_ptr<HValue>;

// A bare word; also every built-in and submitted variable. A word of the request (a
// parameter or a CGI variable) is data, unless the configuration sets
// _RAW_REQUEST_VALUES_ = TRUE: then it is taken as the author's.
class HWordValue : public HValue {
public:
    enum Origin { kAuthor, kRequest };

    explicit HWordValue(std::string text, Origin origin = kAuthor)
        : HValue(kWord, std::move(text)), origin_(origin) {}
    std::string Evaluate(HContext&, const std::string*) const override { return text_; }
    void EvaluateInto(HContext& ctx, const std::string*, HText& out) const override;
    std::string GetText() const override { return text_; }
    bool FromRequest() const { return origin_ == kRequest; }

private:
    Origin origin_;
};

// A literal text: `@@`, and the literal pieces of a quoted string.
class HLiteralValue : public HValue {
public:
    explicit HLiteralValue(std::string text) : HValue(kLiteral, std::move(text)) {}
    std::string Evaluate(HContext&, const std::string*) const override { return text_; }
    void EvaluateInto(HContext&, const std::string*, HText& out) const override { out.Author(text_); }
    std::string GetText() const override { return text_; }
};

// `@name`: a result column of an open result set, else a variable.
// Where a symbol table found a name: the table's own number (never reused) and the name's
// slot in it, which stays where it is while the table lives (see HSymbolTable::Lookup).
struct HLookupHint {
    uint64_t table = 0;
    HValue* const* slot = nullptr;
};

class HVarRef : public HValue {
public:
    explicit HVarRef(std::string name) : HValue(kVarRef, std::move(name)) {}
    std::string Evaluate(HContext& ctx, const std::string* modifier) const override;
    void EvaluateInto(HContext& ctx, const std::string* modifier, HText& out) const override;
    std::string GetText() const override { return text_; }
    // The current row's text of the column of an open result set that the name refers to
    // (the innermost set that has one), or nullptr when it refers to a variable.
    const char* Column(const HContext& ctx) const;

private:
    mutable HLookupHint hint_;  // of the last table the name was found in
    mutable HColumnHint columnHint_;  // of the last result set a column was found in
};

// `( item, ... )`: a list; cannot be referenced as a plain value.
class HParamList : public HValue {
public:
    HParamList() : HValue(kParamList, std::string()) {}
    void Append(HValuePtr item) { items_.push_back(std::move(item)); }
    const std::vector<HValuePtr>& Items() const { return items_; }
    std::string Evaluate(HContext& ctx, const std::string* modifier) const override;
    std::string GetText() const override { return std::string(); }

private:
    std::vector<HValuePtr> items_;
};

// `"text with @references"`: literal pieces and references, concatenated.
class HQuotedValue : public HValue {
public:
    // A longer result is refused (error 9, naming the piece that made it too long).
    static constexpr size_t kMaxQuotedText = size_t(1) << 24;

    HQuotedValue() : HValue(kQuoted, std::string()) {}
    void Append(HValuePtr piece) { pieces_.push_back(std::move(piece)); }
    const std::vector<HValuePtr>& Pieces() const { return pieces_; }
    std::string Evaluate(HContext& ctx, const std::string* modifier) const override;
    void EvaluateInto(HContext& ctx, const std::string* modifier, HText& out) const override;
    std::string GetText() const override;

private:
    std::vector<HValuePtr> pieces_;
};

// FIXED_WIDTH's work: `text` cut or padded with blanks to `width` characters as a browser
// shows them. A character reference (`&#60;`, `&amp;`) and a UTF-8 sequence each count as
// one character and are never cut in half; any other byte counts as one.
std::string FitToWidth(std::string_view text, size_t width);

// `@name( item, ... )`: a call of the built-in function FIXED_WIDTH.
class HFuncCall : public HValue {
public:
    HFuncCall(std::string name, std::unique_ptr<HParamList> arguments)
        : HValue(kFuncCall, std::move(name)), arguments_(std::move(arguments)) {}
    const HParamList& Arguments() const { return *arguments_; }
    std::string Evaluate(HContext& ctx, const std::string* modifier) const override;
    void EvaluateInto(HContext& ctx, const std::string* modifier, HText& out) const override;
    std::string GetText() const override { return text_ + arguments_->GetText(); }

    // Widths above this are refused (error 23) rather than allocated.
    static constexpr long kMaxWidth = 1 << 20;

private:
    std::unique_ptr<HParamList> arguments_;
};

}  // namespace quorvel
