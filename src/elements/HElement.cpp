#include "elements/HElement.h"

#include "driver/HContext.h"
#include "driver/HExcept.h"
#include "template/HAttributes.h"
#include "template/HScanner.h"
#include "template/HTagTable.h"
#include "template/HWriter.h"

HElement::~HElement() = default;

const HValue* HElement::Attribute(const std::string& name) const {
    const HValuePtr* v = attributes_.Find(name);
    return v ? v->get() : nullptr;
}

std::unique_ptr<HElement> HElement::Parse(HContext& ctx, int& status) {
    ReadAttributes(ctx);
    if (tagIndex_ >= kTagText && tagIndex_ <= kTagLookup) {
        status = 1;
        return nullptr;
    }
    return ReadContent(ctx, status);
}

std::unique_ptr<HElement> HElement::ReadContent(HContext& ctx, int& status) {
    HDepthGuard depth(ctx.elementDepth);
    if (ctx.elementDepth > kMaxDepth)
        throw HExcept(7);

    std::unique_ptr<HElement> element;
    int token = Scan(ctx, element);
    while (token != kTagEof) {
        if (tagIndex_ >= kTagDbResult && token == tagIndex_ + kEndTagOffset) {
            CloseEndTag(ctx);
            status = 1;
            return nullptr;
        }
        if ((token >= kFirstEndTag && token <= kLastEndTag) || EndsAt(token)) {
            status = token;
            return element;
        }
        HElement* child = element.get();
        children_.push_back(std::move(element));
        std::unique_ptr<HElement> pending = child->Parse(ctx, status);
        if (status == 1) {
            token = Scan(ctx, element);
        } else {
            element = std::move(pending);
            token = status;
            status = 1;
        }
    }
    status = 0;
    return nullptr;
}

void HElement::ReadAttributes(HContext& ctx) {
    std::string name;
    HValuePtr value;
    while (ReadAttribute(*ctx.input, name, value))
        attributes_.Slot(name) = std::move(value);
}

void HElement::WriteAttributes(HContext& ctx) {
    attributes_.ForEach([&](const std::string& name, const HValuePtr& value) {
        WriteAttribute(ctx, name, value.get());
    });
}

bool HElement::EndsAt(int) const { return false; }

void HElement::OutputChildren(HContext& ctx) {
    for (const auto& child : children_)
        child->Output(ctx);
}

void HElement::Output(HContext& ctx) {
    if (!ctx.postProcess) {
        WriteTagOpen(ctx, tagIndex_);
        WriteAttributes(ctx);
        WriteTagClose(ctx);
    }
    OutputChildren(ctx);
    if (!ctx.postProcess)
        WriteEndTag(ctx, tagIndex_);
}

HTextElement::HTextElement(std::string text) : HElement(kTagText), text_(std::move(text)) {}

std::unique_ptr<HElement> HTextElement::Parse(HContext&, int& status) {
    status = 1;
    return nullptr;
}

void HTextElement::Output(HContext& ctx) {
    if (!ctx.postProcess)
        WriteText(ctx, text_);
}

HUnknownTagElement::HUnknownTagElement(std::string text)
    : HElement(kTagUnknown), text_(std::move(text)) {}

void HUnknownTagElement::Output(HContext& ctx) {
    if (ctx.postProcess)
        return;
    WriteTagOpen(ctx, tagIndex_);
    WriteText(ctx, text_);
    WriteTagClose(ctx);
}

HLookupElement::HLookupElement(HValuePtr value) : HElement(kTagLookup), value_(std::move(value)) {}

std::unique_ptr<HElement> HLookupElement::Parse(HContext&, int& status) {
    status = 1;
    return nullptr;
}

void HLookupElement::Output(HContext& ctx) {
    if (!ctx.postProcess && value_)
        WriteValue(ctx, *value_);
}

HParagraphElement::HParagraphElement() : HElement(kTagP) {}

bool HParagraphElement::EndsAt(int token) const {
    switch (token) {
    case kTagText:
    case kTagUnknown:
    case 11:  // IMG
    case 12:  // COMMENT
    case kTagLookup:
    case 42:  // I
    case 43:  // EM
    case 44:  // B
    case 45:  // STRONG
    case 52:  // DFN
        return false;
    default:
        return true;
    }
}

HListItemElement::HListItemElement() : HElement(kTagLi) {}

bool HListItemElement::EndsAt(int token) const {
    return token == kTagLi || (token >= 37 && token <= 41);  // LI, OL, UL, DIR, MENU, DL
}

HDefTermElement::HDefTermElement() : HElement(kTagDt) {}
bool HDefTermElement::EndsAt(int token) const { return token == kTagDd; }

HDefDataElement::HDefDataElement() : HElement(kTagDd) {}
bool HDefDataElement::EndsAt(int token) const { return token == kTagDd; }

HOptionElement::HOptionElement() : HElement(kTagOption) {}
bool HOptionElement::EndsAt(int token) const { return token == kTagOption; }

HHtmlElement::HHtmlElement() : HElement(kTagHtml) {}
