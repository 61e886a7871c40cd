#include "values/HValueParser.h"

#include "base/HExcept.h"
#include "template/HCharClass.h"
#include "template/HInput.h"

namespace quorvel {

namespace {

struct WordStops {
    bool table[256] = {};
    WordStops() {
        for (unsigned char c : std::string_view(" \t\n@\"<>(),"))
            table[c] = true;
    }
};
const WordStops kWordStops;

struct QuoteStops {
    bool table[256] = {};
    QuoteStops() { table['"'] = table['@'] = true; }
};
const QuoteStops kQuoteStops;

int SkipBlanks(HInput& in) {
    int c;
    do
        c = in.Get();
    while (IsTemplateBlank(c));
    return c;
}

int Parse(HInput& in, HValuePtr& out, int depth);

std::unique_ptr<HParamList> ParseList(HInput& in, int depth) {
    auto list = std::make_unique<HParamList>();
    for (;;) {
        int c = SkipBlanks(in);
        if (c == ')')
            return list;
        in.Unget(c);
        HValuePtr item;
        if (Parse(in, item, depth + 1) == 0)
            throw HExcept(kErrListSyntax);
        list->Append(std::move(item));
        c = SkipBlanks(in);
        if (c == ',')
            continue;
        if (c == ')')
            return list;
        throw HExcept(kErrListSyntax);
    }
}

int Parse(HInput& in, HValuePtr& out, int depth) {
    if (depth > kMaxValueNesting)
        throw HExcept(kErrListSyntax);
    int c = SkipBlanks(in);
    if (c == '"') {
        auto quoted = std::make_unique<HQuotedValue>();
        for (;;) {
            std::string buffer;
            bool closed = false;
            for (;;) {
                in.ReadUntil(kQuoteStops.table, buffer);
                c = in.Get();
                if (c == HInput::kEof)
                    throw HExcept(kErrUnexpectedEof);
                if (c == '@')
                    break;
                int next = in.Get();  // c is a double quote
                if (next == '"') {
                    buffer.push_back('"');
                    continue;
                }
                in.Unget(next);
                closed = true;
                break;
            }
            quoted->Append(std::make_unique<HLiteralValue>(std::move(buffer)));
            if (closed)
                break;
            in.Unget('@');
            HValuePtr piece;
            Parse(in, piece, depth + 1);
            quoted->Append(std::move(piece));
        }
        out = std::move(quoted);
        return HValue::kQuoted;
    }
    if (c == '@') {
        c = in.Get();
        if (c == '@') {
            out = std::make_unique<HLiteralValue>("@");
            return HValue::kLiteral;
        }
        std::string name;
        while (IsTemplateNameChar(c)) {
            name.push_back(static_cast<char>(c));
            c = in.Get();
        }
        if (c == '(') {
            auto arguments = ParseList(in, depth + 1);
            out = std::make_unique<HFuncCall>(std::move(name), std::move(arguments));
            return HValue::kFuncCall;
        }
        in.Unget(c);
        out = std::make_unique<HVarRef>(std::move(name));
        return HValue::kVarRef;
    }
    if (c == '(') {
        out = ParseList(in, depth + 1);
        return HValue::kParamList;
    }
    if (c == HInput::kEof) {
        out.reset();
        return 0;
    }
    std::string word(1, static_cast<char>(c));
    in.ReadUntil(kWordStops.table, word);
    out = std::make_unique<HWordValue>(std::move(word));
    return HValue::kWord;
}

}  // namespace

int ParseValue(HInput& in, HValuePtr& out) { return Parse(in, out, 0); }

}  // namespace quorvel
