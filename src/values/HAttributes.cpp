#include "values/HAttributes.h"

#include "base/HExcept.h"
#include "template/HCharClass.h"
#include "template/HInput.h"
#include "values/HValueParser.h"

namespace quorvel {

namespace {

// One arbitrary first byte, then letters, digits and underscores, upper-cased.
bool ReadName(HInput& in, std::string& name) {
    name.clear();
    int c;
    do
        c = in.Get();
    while (IsTagBlank(c));
    if (c == '"' || c == '@' || c == '(') {
        in.Unget(c);
        throw HExcept(kErrAttributeSyntax);
    }
    if (c == HInput::kEof)
        return false;
    name.push_back(TemplateUpper(c));
    for (c = in.Get(); IsTemplateNameChar(c); c = in.Get())
        name.push_back(TemplateUpper(c));
    in.Unget(c);
    return true;
}

}  // namespace

bool ReadAttribute(HInput& in, std::string& name, HValuePtr& value) {
    int c;
    do
        c = in.Get();
    while (IsTagBlank(c));
    if (c == '>')
        return false;
    in.Unget(c);
    if (c == '<')
        throw HExcept(kErrAttributeSyntax);
    if (c == HInput::kEof)
        return false;
    std::string read;
    if (!ReadName(in, read))
        throw HExcept(kErrAttributeSyntax);
    do
        c = in.Get();
    while (IsTagBlank(c));
    if (c == '=') {
        HValuePtr parsed;
        if (ParseValue(in, parsed) == 0)
            throw HExcept(kErrUnexpectedEof);
        name = std::move(read);
        value = std::move(parsed);
        return true;
    }
    in.Unget(c);
    name = std::move(read);
    value.reset();
    return true;
}

}  // namespace quorvel
