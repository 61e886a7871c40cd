#include "template/HAttributes.h"

#include "driver/HExcept.h"
#include "template/HInput.h"
#include "values/HValueParser.h"

namespace {

bool IsBlank(int c) { return c == ' ' || c == '\t' || c == '\n'; }

bool IsNameChar(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

char Upper(int c) { return static_cast<char>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c); }

// One arbitrary first byte, then letters, digits and underscores, upper-cased.
bool ReadName(HInput& in, std::string& name) {
    name.clear();
    int c;
    do
        c = in.Get();
    while (IsBlank(c));
    if (c == '"' || c == '@' || c == '(') {
        in.Unget(c);
        throw HExcept(12);
    }
    if (c == HInput::kEof)
        return false;
    name.push_back(Upper(c));
    for (c = in.Get(); IsNameChar(c); c = in.Get())
        name.push_back(Upper(c));
    in.Unget(c);
    return true;
}

}  // namespace

bool ReadAttribute(HInput& in, std::string& name, HValuePtr& value) {
    int c;
    do
        c = in.Get();
    while (IsBlank(c));
    if (c == '>')
        return false;
    in.Unget(c);
    if (c == '<')
        throw HExcept(12);
    if (c == HInput::kEof)
        return false;
    std::string read;
    if (!ReadName(in, read))
        throw HExcept(12);
    do
        c = in.Get();
    while (IsBlank(c));
    if (c == '=') {
        HValuePtr parsed;
        if (ParseValue(in, parsed) == 0)
            throw HExcept(11);
        name = std::move(read);
        value = std::move(parsed);
        return true;
    }
    in.Unget(c);
    name = std::move(read);
    value.reset();
    return true;
}
