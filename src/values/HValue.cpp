#include "values/HValue.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <strings.h>

#include "values/HContext.h"
#include "base/HExcept.h"
#include "values/HWriter.h"
#include "values/HNameModifier.h"

namespace quorvel {

namespace {

// Longest chain of variables referring to variables that is followed before the chain
// counts as referring back to itself.
constexpr int kMaxEvalDepth = 64;
// Variables whose values refer to each other several times over ("@V@V" in V1, "@V1@V1"
// in V2, ...) multiply: forty such lines would take 2^40 steps. One reference written in a
// page may therefore cause at most this many nested references, and no quoted string may
// grow beyond kMaxQuotedText; beyond either bound the evaluation is error 9.
constexpr long kMaxNestedReferences = 10000;

// Leading decimal integer: blanks and one sign allowed, 0 when there are no digits;
// saturates instead of overflowing.
long LeadingInteger(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    long v = 0;
    for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
        if (v < LONG_MAX / 10)
            v = v * 10 + (s[i] - '0');
    }
    return negative ? -v : v;
}

bool IsAsciiAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Length of the character reference that starts at `i` (`&#60;`, `&#x3C;`, `&amp;`), or 0
// when the `&` there starts none. Names and numbers longer than any real one are not
// references.
size_t ReferenceLength(std::string_view s, size_t i) {
    constexpr size_t kLongest = 40;
    size_t j = i + 1;
    bool numeric = j < s.size() && s[j] == '#';
    bool hex = false;
    if (numeric) {
        ++j;
        hex = j < s.size() && (s[j] == 'x' || s[j] == 'X');
        if (hex)
            ++j;
    }
    size_t first = j;
    while (j < s.size() && j - i < kLongest &&
           (hex ? std::isxdigit(static_cast<unsigned char>(s[j])) != 0
                : numeric ? (s[j] >= '0' && s[j] <= '9') : IsAsciiAlnum(s[j])))
        ++j;
    if (j == first || j >= s.size() || s[j] != ';')
        return 0;
    if (!numeric && !std::isalpha(static_cast<unsigned char>(s[first])))
        return 0;
    return j + 1 - i;
}

// The raw text of a value that evaluates through EvaluateInto.
std::string RawText(HContext& ctx, const std::string* modifier, const HValue& value) {
    HText raw(HText::kRaw);
    value.EvaluateInto(ctx, modifier, raw);
    return std::move(raw.text);
}

}  // namespace

std::string FitToWidth(std::string_view text, size_t width) {
    size_t i = 0;
    size_t shown = 0;
    while (i < text.size() && shown < width) {
        size_t n = 1;
        if (text[i] == '&')
            n = std::max<size_t>(ReferenceLength(text, i), 1);
        else if (static_cast<unsigned char>(text[i]) >= 0x80)
            n = Utf8Length(text, i);
        i += n;
        ++shown;
    }
    std::string out(text.substr(0, i));
    out.append(width - shown, ' ');
    return out;
}

void HText::Data(std::string_view s) {
    hasData = true;
    if (leadOpen_)
        lead_.append(s);
    switch (sink) {
    case kRaw:
        text.append(s);
        break;
    case kPage:
        AppendEscapedHtml(text, s);
        break;
    case kScript:
        AppendEscapedScript(text, s);
        break;
    case kStyle:
        AppendEscapedCss(text, s);
        break;
    case kSql:
        sqlValues.emplace_back(markers_++, std::string(s));
        asideBytes_ += s.size();
        text += '?';
        break;
    }
    if (leadOpen_)
        leadEnd_ = text.size();
}

void HText::CountMarkers(std::string_view s) {
    for (char c : s)
        markers_ += c == '?';
}

void HText::AuthorInUrl(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) > ' ')
            leadOpen_ = false;
}

void HWordValue::EvaluateInto(HContext& ctx, const std::string*, HText& out) const {
    out.Append(text_, origin_ == kRequest && !ctx.rawRequestValues);
}

std::string HVarRef::Evaluate(HContext& ctx, const std::string* modifier) const {
    return RawText(ctx, modifier, *this);
}

const char* HVarRef::Column(const HContext& ctx) const {
    for (auto it = ctx.scopes.rbegin(); it != ctx.scopes.rend(); ++it) {
        if (const char* column = (*it)->FindColumn(text_, columnHint_))
            return column;
    }
    return nullptr;
}

void HVarRef::EvaluateInto(HContext& ctx, const std::string* modifier, HText& out) const {
    if (const char* column = Column(ctx)) {
        out.Data(column);
        return;
    }

    const HValue* value;
    if (modifier && !IsFirstInstance(*modifier))
        value = ctx.symbols.Lookup(RowVariable(ctx, text_, *modifier));
    else
        value = ctx.symbols.Lookup(text_, hint_);
    if (!value)
        throw HExcept(kErrUndefinedVariable, text_);

    if (ctx.evalDepth == 0)
        ctx.nestedReferences = 0;
    HDepthGuard guard(ctx.evalDepth);
    if (ctx.evalDepth > kMaxEvalDepth || ++ctx.nestedReferences > kMaxNestedReferences)
        throw HExcept(kErrUndefinedVariable, text_);
    value->EvaluateInto(ctx, nullptr, out);
}

std::string HParamList::Evaluate(HContext&, const std::string*) const {
    throw HExcept(kErrParameterListReference);
}

std::string HQuotedValue::Evaluate(HContext& ctx, const std::string* modifier) const {
    return RawText(ctx, modifier, *this);
}

void HQuotedValue::EvaluateInto(HContext& ctx, const std::string* modifier, HText& out) const {
    const size_t start = out.Length();
    for (const HValuePtr& piece : pieces_) {
        piece->EvaluateInto(ctx, modifier, out);
        if (out.Length() - start > kMaxQuotedText)
            throw HExcept(kErrUndefinedVariable, piece->Text());
    }
}

std::string HQuotedValue::GetText() const {
    std::string out;
    for (const HValuePtr& piece : pieces_)
        out += piece->GetText();
    return out;
}

std::string HFuncCall::Evaluate(HContext& ctx, const std::string* modifier) const {
    return RawText(ctx, modifier, *this);
}

void HFuncCall::EvaluateInto(HContext& ctx, const std::string*, HText& out) const {
    if (strcasecmp(text_.c_str(), "FIXED_WIDTH") != 0 || arguments_->Items().size() != 2)
        throw HExcept(kErrNoSuchFunction, text_);
    // For running text the data is escaped before the padding, so that the width counts
    // what the browser shows; elsewhere it is cut raw and then escaped, so that a cut never
    // splits an escape.
    HText argument(out.sink == HText::kPage ? HText::kPage : HText::kRaw);
    arguments_->Items()[0]->EvaluateInto(ctx, nullptr, argument);
    std::string value = std::move(argument.text);
    long width = LeadingInteger(arguments_->Items()[1]->Evaluate(ctx, nullptr));
    if (width <= 0 || width > kMaxWidth)
        throw HExcept(kErrFunctionParameter, text_);
    value = FitToWidth(value, static_cast<size_t>(width));
    if (out.sink == HText::kPage)
        out.Written(value, argument.hasData);
    else
        out.Append(value, argument.hasData);
}

}  // namespace quorvel
