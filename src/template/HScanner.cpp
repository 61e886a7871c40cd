#include "template/HScanner.h"

#include <string>

#include "driver/HContext.h"
#include "driver/HExcept.h"
#include "elements/HElement.h"
#include "elements/HElementFactory.h"
#include "template/HReadObserver.h"
#include "template/HCharClass.h"
#include "template/HTagTable.h"
#include "values/HValueParser.h"

namespace {

constexpr size_t kMaxTagName = 72;

struct Stops {
    bool text[256] = {};
    bool tagEnd[256] = {};
    Stops() {
        text[0] = text['<'] = text['@'] = true;
        tagEnd['>'] = true;
    }
};
const Stops kStops;

bool IsNameTerminator(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '>'; }

void SkipBlanks(HInput& in) {
    int c;
    do
        c = in.Get();
    while (c == ' ' || c == '\t' || c == '\n');
    in.Unget(c);
}

// The scanner upper-cases a tag's name, so `<!doctype html>` reads as "!DOCTYPE html".
bool IsDocumentType(const std::string& tagText) {
    return tagText.compare(0, 8, "!DOCTYPE") == 0 &&
           (tagText.size() == 8 || tagText[8] == ' ' || tagText[8] == '\t' || tagText[8] == '\n');
}

}  // namespace

// Inlined into Scan, so that a request pays for the observer test only.
[[gnu::always_inline]] static inline int ScanToken(HContext& ctx, std::unique_ptr<HElement>& slot) {
    HInput& in = *ctx.input;
    int c = in.Get();
    if (c == '<') {
        std::string name;
        bool terminated = false;
        while (name.size() < kMaxTagName) {
            c = in.Get();
            if (c == HInput::kEof)
                break;
            if (IsNameTerminator(c)) {
                in.Unget(c);
                terminated = true;
                break;
            }
            name.push_back(TemplateUpper(c));
        }
        if (terminated) {
            int index = LookupTag(name);
            if (index >= kFirstEndTag) {
                slot.reset();
                return index;
            }
            if (index != kTagUnknown) {
                slot = CreateElement(index);
                return index;
            }
        }
        in.ReadUntil(kStops.tagEnd, name);
        slot = std::make_unique<HUnknownTagElement>(std::move(name));
        return kTagUnknown;
    }
    if (c == HInput::kEof)
        return kTagEof;
    if (c == '@') {
        in.Unget(c);
        HValuePtr value;
        ParseValue(in, value);
        slot = std::make_unique<HLookupElement>(std::move(value));
        return kTagLookup;
    }
    std::string text(1, static_cast<char>(c));
    in.ReadUntil(kStops.text, text);
    slot = std::make_unique<HTextElement>(std::move(text));
    return kTagText;
}

int Scan(HContext& ctx, std::unique_ptr<HElement>& slot) {
    if (HReadObserver* observer = ctx.observer) {
        observer->TokenStart(*ctx.input, ctx.input->Offset());
        int token = ScanToken(ctx, slot);
        observer->TokenRead(token, token == kTagEof ? nullptr : slot.get());
        return token;
    }
    return ScanToken(ctx, slot);
}

int ScanDocumentStart(HContext& ctx, std::unique_ptr<HElement>& doctype,
                      std::unique_ptr<HElement>& first) {
    SkipBlanks(*ctx.input);
    int token = Scan(ctx, first);
    if (token == kTagUnknown && IsDocumentType(static_cast<HUnknownTagElement&>(*first).Text())) {
        int status = 1;
        first->Parse(ctx, status);  // the closing `>`
        doctype = std::move(first);
        SkipBlanks(*ctx.input);
        token = Scan(ctx, first);
    }
    return token;
}

void CloseEndTag(HContext& ctx) {
    HInput& in = *ctx.input;
    int c;
    do
        c = in.Get();
    while (c == ' ' || c == '\t' || c == '\n');
    if (c == '>')
        return;
    in.Unget(c);
    throw HExcept(10);
}
