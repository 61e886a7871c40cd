#include "template/HScanner.h"

#include <string>

#include "driver/HContext.h"
#include "driver/HExcept.h"
#include "elements/HElement.h"
#include "elements/HElementFactory.h"
#include "elements/HElementTree.h"
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

}  // namespace

// Reads a tag name after its `<`, upper-cased, into `name`. Returns its index, or
// kTagUnknown after reading the rest of an unknown tag up to its `>` (left in the stream).
[[gnu::always_inline]] static inline int ReadTag(HInput& in, std::string& name) {
    bool terminated = false;
    while (name.size() < kMaxTagName) {
        int c = in.Get();
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
        if (index != kTagUnknown)
            return index;
    }
    in.ReadUntil(kStops.tagEnd, name);
    return kTagUnknown;
}

// Inlined into Scan, so that a request pays for the observer test only.
[[gnu::always_inline]] static inline int ScanToken(HContext& ctx, std::unique_ptr<HElement>& slot) {
    HInput& in = *ctx.input;
    int c = in.Get();
    if (c == '<') {
        std::string name;
        int index = ReadTag(in, name);
        if (index >= kFirstEndTag)
            slot.reset();
        else if (index != kTagUnknown)
            slot = CreateElement(index);
        else
            slot = std::make_unique<HUnknownTagElement>(std::move(name));
        return index;
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

int ScanInto(HContext& ctx, HElementTree& tree, std::unique_ptr<HElement>& slot) {
    HInput& in = *ctx.input;
    std::string& text = tree.Scratch();
    for (;;) {
        int c = in.Get();
        text.clear();
        if (c == '<') {
            int index = ReadTag(in, text);
            if (index != kTagUnknown) {
                slot = index < kFirstEndTag ? CreateBehaviourElement(index) : nullptr;
                return index;
            }
            in.Get();  // its `>` (or the end of input), as its empty attribute list would
            tree.Render(ctx, [&] { HUnknownTagElement::Write(ctx, text); });
        } else if (c == '@') {
            in.Unget(c);
            HValuePtr value;
            ParseValue(in, value);
            tree.AppendValue(std::move(value));
        } else if (c != HInput::kEof) {
            text.push_back(static_cast<char>(c));
            in.ReadUntil(kStops.text, text);
            tree.AppendText(text);
        } else {
            return kTagEof;
        }
    }
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
