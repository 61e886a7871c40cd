#include "elements/HInputElement.h"

#include <climits>
#include <cstdlib>
#include <strings.h>

#include "values/HContext.h"
#include "base/HExcept.h"
#include "template/HTagTable.h"
#include "values/HWriter.h"
#include "values/HNameModifier.h"

namespace quorvel {

namespace {

const char* const kConstraints[] = {"MANDATORY", "DATATYPE", "LOW_VALUE", "HIGH_VALUE"};

bool IsConstraint(const std::string& name) {
    for (const char* c : kConstraints)
        if (name == c)
            return true;
    return false;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A signed decimal integer at the start of `s`: leading blanks and one sign, then digits.
// Returns the number of characters consumed, 0 when no digit follows (then `value` is 0).
// The value saturates at the 32-bit limits.
size_t ReadInteger(std::string_view s, long& value, bool& negative) {
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i]))
        ++i;
    negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    value = 0;
    size_t digits = i;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
        if (value <= INT_MAX)
            value = value * 10 + (s[i] - '0');
    if (i == digits) {
        negative = false;
        return 0;
    }
    if (negative)
        value = value > static_cast<long>(INT_MAX) + 1 ? INT_MIN : -value;
    else if (value > INT_MAX)
        value = INT_MAX;
    return i;
}

// One part of a date: an integer written with one or two characters, within [low, high].
bool ReadDatePart(std::string_view& s, long low, long high) {
    long v;
    bool negative;
    size_t n = ReadInteger(s, v, negative);
    if (n < 1 || n > 2 || v < low || v > high)
        return false;
    s.remove_prefix(n);
    return true;
}

bool ReadDateSeparator(std::string_view& s) {
    if (s.empty() || (s[0] != '/' && s[0] != '-'))
        return false;
    s.remove_prefix(1);
    return true;
}

// The two items of a constraint list, as written (GetText). Raises error 30 when the
// attribute is not a list of exactly two items.
struct Constraint {
    std::string setting;
    std::string url;
};

Constraint ReadConstraint(const HElement& element, const std::string& name) {
    const HValue* v = element.Attribute(name);
    if (!v || v->Kind() != HValue::kParamList)
        throw HExcept(kErrConstraintSyntax, name);
    const auto& items = static_cast<const HParamList*>(v)->Items();
    if (items.size() != 2)
        throw HExcept(kErrConstraintSyntax, name);
    return {items[0]->GetText(), items[1]->GetText()};
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// The text of an attribute that counts only when it has a value (NAME, TYPE).
bool TextOf(const HElement& element, const std::string& name, std::string& text) {
    const HValue* v = element.Attribute(name);
    if (!v)
        return false;
    text = v->GetText();
    return true;
}

// Writes " NAME=" and the field name of the current row, and raises maxNameModifier.
void WriteFieldName(HContext& ctx, const HElement& element) {
    std::string name;
    if (!TextOf(element, "NAME", name))
        return;
    WriteText(ctx, " NAME=");
    WriteText(ctx, name);
    if (!IsFirstInstance(ctx.nameModifier))
        WriteText(ctx, ctx.nameModifier);
    RaiseMaximum(ctx.maxNameModifier, ctx.nameModifier);
}

// The type and range checks of one submitted value; `field` names it in the error.
void CheckValue(const HElement& element, const std::string& field, const std::string& text) {
    if (element.HasAttribute("DATATYPE")) {
        Constraint c = ReadConstraint(element, "DATATYPE");
        std::string type = Upper(c.setting);
        double ignored;
        if ((type == "NUMBER" && !ParseConstraintNumber(text, ignored)) ||
            (type == "DATE" && !IsConstraintDate(text)))
            throw HExcept(kErrConstraintFailed, field, c.url);
    }
    for (const char* bound : {"LOW_VALUE", "HIGH_VALUE"}) {
        if (!element.HasAttribute(bound))
            continue;
        Constraint c = ReadConstraint(element, bound);
        double limit, value;
        if (!ParseConstraintNumber(c.setting, limit))
            throw HExcept(kErrConstraintSyntax, field, c.url);
        if (!ParseConstraintNumber(text, value))
            throw HExcept(kErrConstraintFailed, field, c.url);
        bool low = bound[0] == 'L';
        if (low ? value < limit : value > limit)
            throw HExcept(kErrConstraintFailed, field, c.url);
    }
}

}  // namespace

bool ParseConstraintNumber(std::string_view text, double& value) {
    // The shape: blanks, a sign and digits, then an optional point and digits. The integer
    // read here saturates at 32-bit limits, so the value is read from the text instead.
    long integer;
    bool negative;
    size_t i = ReadInteger(text, integer, negative);
    if (i < text.size() && text[i] == '.')
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9';)
            ++i;
    if (i != text.size())
        return false;
    // strtod skips the same blanks and reads the digits at full size; a text without digits
    // ("", ".") is 0.
    value = std::strtod(std::string(text).c_str(), nullptr);
    return true;
}

bool IsConstraintDate(std::string_view text) {
    long year;
    bool negative;
    return ReadDatePart(text, 1, 12) && ReadDateSeparator(text) && ReadDatePart(text, 1, 31) &&
           ReadDateSeparator(text) && ReadInteger(text, year, negative) == 2 && text.size() == 2;
}

bool IsRowOfField(std::string_view name, std::string_view field) {
    if (name.size() <= field.size() || name.substr(0, field.size()) != field)
        return false;
    std::string_view rest = name.substr(field.size());
    return ModifierSuffixLength(rest) == rest.size();
}

HInputElement::HInputElement() : HElement(kTagInput) {}

void HInputElement::Output(HContext& ctx) {
    if (ctx.postProcess)
        CheckConstraints(ctx);
    else
        HElement::Output(ctx);
}

void HInputElement::WriteAttributes(HContext& ctx) {
    attributes_.ForEach([&](const std::string& name, const HValuePtr& value) {
        if (IsConstraint(name))
            ReadConstraint(*this, name);
        else if (name == "NAME")
            WriteFieldName(ctx, *this);
        else
            WriteAttribute(ctx, name, value.get(), content_);
    });
}

void HInputElement::CheckConstraints(HContext& ctx) const {
    std::string type;
    if (TextOf(*this, "TYPE", type) && strcasecmp(type.c_str(), "TEXT") != 0)
        return;
    std::string name;
    if (!TextOf(*this, "NAME", name))
        throw HExcept(kErrNameMissing);
    // Every constraint must be well formed, whether or not anything was submitted.
    attributes_.ForEach([&](const std::string& attribute, const HValuePtr&) {
        if (IsConstraint(attribute))
            ReadConstraint(*this, attribute);
    });

    bool submitted = ctx.symbols.Contains(name);
    if (HasAttribute("MANDATORY")) {
        Constraint c = ReadConstraint(*this, "MANDATORY");
        if (Upper(c.setting) == "TRUE" && !submitted)
            throw HExcept(kErrConstraintFailed, name, c.url);
    }
    if (submitted) {
        const HValue* v = ctx.symbols.Lookup(name);
        CheckValue(*this, name, v ? v->GetText() : std::string());
    }
    // The other rows of a repeated field hold to the same type and range. A row sent
    // empty counts as not submitted, as the plain field does.
    ctx.symbols.ForEach([&](const std::string& variable, const HValue* v) {
        if (!IsRowOfField(variable, name))
            return;
        std::string text = v ? v->GetText() : std::string();
        if (!text.empty())
            CheckValue(*this, variable, text);
    });
}

HTextAreaElement::HTextAreaElement() : HElement(kTagTextArea) {}

void HTextAreaElement::WriteAttributes(HContext& ctx) {
    attributes_.ForEach([&](const std::string& name, const HValuePtr& value) {
        if (name == "NAME")
            WriteFieldName(ctx, *this);
        else
            WriteAttribute(ctx, name, value.get(), content_);
    });
}

}  // namespace quorvel
