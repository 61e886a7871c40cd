#include "elements/HElement.h"

#include "values/HContext.h"
#include "base/HExcept.h"
#include "elements/HElementTree.h"
#include "values/HAttributes.h"
#include "elements/HScanner.h"
#include "template/HTagTable.h"
#include "values/HWriter.h"

namespace quorvel {

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
    tree_ = ctx.tree;
    contentBegin_ = ctx.tree->Mark();
    std::unique_ptr<HElement> pending = ReadTokens(ctx, status);
    contentEnd_ = ctx.tree->Mark();
    return pending;
}

std::unique_ptr<HElement> HElement::ReadTokens(HContext& ctx, int& status) {
    HDepthGuard depth(ctx.elementDepth);
    if (ctx.elementDepth > kMaxDepth)
        throw HExcept(kErrHtmlSyntax);
    HDepthGuard open(ctx.openElements[tagIndex_]);
    std::unique_ptr<HElement> element;
    int token = ScanInto(ctx, *ctx.tree, element);
    while (token != kTagEof) {
        if (tagIndex_ >= kTagDbResult && token == tagIndex_ + kEndTagOffset) {
            CloseEndTag(ctx);
            status = 1;
            return nullptr;
        }
        if (token >= kFirstEndTag && token <= kLastEndTag) {
            // An end tag that closes no open element is text where it stands, so that
            // nothing after it is lost. In an included file it ends the inclusion (an
            // error there), as before.
            if (ctx.openElements[token - kEndTagOffset] == 0 && ctx.includeDepth == 0) {
                token = PassEndTag(ctx, token, element);
                continue;
            }
            status = token;
            return element;
        }
        if (EndsAt(token)) {
            status = token;
            return element;
        }
        std::unique_ptr<HElement> pending = ReadElement(ctx, token, std::move(element), status);
        if (status == 1) {
            token = ScanInto(ctx, *ctx.tree, element);
        } else {
            element = std::move(pending);
            token = status;
            status = 1;
        }
    }
    status = 0;
    return nullptr;
}

std::unique_ptr<HElement> HElement::ReadElement(HContext& ctx, int token, std::unique_ptr<HElement> element,
                                              int& status) {
    if (!element)
        return ReadPassedThrough(ctx, token, status);
    HElement* child = element.get();
    child->content_ = ctx.content;
    ctx.tree->AppendElement(std::move(element), ctx.reading.tokenAt);
    return child->Parse(ctx, status);
}

int HElement::ReadDocument(HContext& ctx, int& status) {
    std::unique_ptr<HElement> first;
    const int token = ScanDocumentStart(ctx, *ctx.tree, first);
    if (token == kTagHtml)
        ReadElement(ctx, token, std::move(first), status);
    return token;
}

namespace {

// Whether an attribute value writes the same text whenever it is written.
bool IsConstant(const HValue* value) {
    if (!value)
        return true;
    switch (value->Kind()) {
    case HValue::kWord:
    case HValue::kLiteral:
        return true;
    case HValue::kQuoted: {
        size_t size = 0;
        for (const HValuePtr& piece : static_cast<const HQuotedValue&>(*value).Pieces()) {
            if (piece->Kind() != HValue::kLiteral && piece->Kind() != HValue::kWord)
                return false;
            size += piece->Text().size();
        }
        return size <= HQuotedValue::kMaxQuotedText;
    }
    default:
        return false;
    }
}

// Appends `text`, written as it stands, to the request's tree. Inside a tag left open by an
// unknown tag before it (a quote or `>` out of place), a browser reads what is written here
// as more of that tag, so it goes on that tag's reading too: the scanner and the browser
// then agree where that tag ends.
void AppendWritten(HContext& ctx, std::string_view text) {
    ctx.tree->AppendText(text);
    if (ctx.openTag)
        FeedOpenTag(ctx, text);
}

// An attribute with references as a browser reads it inside a tag left open: the author's
// text of a quoted value (its `"` written as a reference, so left out here) between quotes,
// without the data, which is written as script there and opens or closes no quote.
std::string ShapeWithReferences(const std::string& name, const HValue& value) {
    std::string shape = " " + name + "=\"";
    if (value.Kind() == HValue::kQuoted)
        for (const HValuePtr& piece : static_cast<const HQuotedValue&>(value).Pieces())
            if (piece->Kind() == HValue::kLiteral)
                for (char c : piece->Text())
                    if (c != '"')
                        shape += c;
    return shape + "\"";
}

// `<NAME>` for the table's tag `index`, as WriteTagOpen and WriteTagClose write it.
void AppendTagText(HContext& ctx, int index) {
    const std::string_view name = TagName(index);
    // One append: the table's names are at most 11 bytes (LookupTag). The buffer is larger
    // than that so that the compiler sees every copy of at most 16 bytes stay inside it.
    constexpr size_t kLongestName = 11;
    char text[32];
    if (name.size() > kLongestName) {
        AppendWritten(ctx, "<" + std::string(name) + ">");
        return;
    }
    text[0] = '<';
    CopyBytes(text + 1, name.data(), name.size());
    text[name.size() + 1] = '>';
    AppendWritten(ctx, std::string_view(text, name.size() + 2));
}

}  // namespace

// A tag without behaviour of its own, read into the request's tree: it is serialised as
// Output would write it, as text pieces (and attribute pieces for values with references),
// with its content read in between by a stand-in element that lives only while reading.
// Its content is not a range of its own: text before, inside and after it is one piece.
std::unique_ptr<HElement> HElement::ReadPassedThrough(HContext& ctx, int token, int& status) {
    HElementTree& tree = *ctx.tree;
    const size_t at = ctx.reading.tokenAt;
    HElement element(token);
    element.content_ = ctx.content;
    const std::string_view ahead = ctx.input->Ahead();
    if (!ahead.empty() && ahead[0] == '>') {
        ctx.input->Skip(1);         // the usual tag, without attributes: nothing to parse
        AppendTagText(ctx, token);  // as WriteTagOpen and WriteTagClose write it
    } else {
        element.ReadAttributes(ctx);
        AppendWritten(ctx, "<");
        AppendWritten(ctx, TagName(token));
        std::string& text = tree.Scratch();
        element.attributes_.ForEach([&](const std::string& name, HValuePtr& value) {
            if (!IsConstant(value.get())) {
                // Its data is written as the tag's start found the content: inside a tag left
                // open, as script, also where the author's text in it ends that tag.
                if (ctx.openTag)
                    FeedOpenTag(ctx, ShapeWithReferences(name, *value));
                tree.AppendAttribute(name, std::move(value), element.content_, at);
                return;
            }
            AppendWritten(ctx, " ");
            AppendWritten(ctx, name);
            if (!value)
                return;
            const bool quoted = EvaluateAttribute(ctx, name, *value, element.content_, text);
            AppendWritten(ctx, quoted ? "=\"" : "=");
            AppendWritten(ctx, text);
            if (quoted)
                AppendWritten(ctx, "\"");
        });
        AppendWritten(ctx, ">");
    }
    std::unique_ptr<HElement> pending;
    if (token >= kTagText && token <= kTagLookup)
        status = 1;
    else
        pending = element.ReadTokens(ctx, status);
    if (token + kEndTagOffset >= kFirstEndTag && token + kEndTagOffset <= kLastEndTag)
        AppendTagText(ctx, token + kEndTagOffset);  // as WriteEndTag writes it
    return pending;
}

void HElement::ReadAttributes(HContext& ctx) {
    std::string name;
    HValuePtr value;
    while (ReadAttribute(*ctx.input, name, value))
        attributes_.Slot(name) = std::move(value);
}

void HElement::WriteAttributes(HContext& ctx) {
    attributes_.ForEach([&](const std::string& name, const HValuePtr& value) {
        WriteAttribute(ctx, name, value.get(), content_);
    });
}

bool HElement::EndsAt(int token) const {
    switch (tagIndex_) {
    case kTagP:
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
    case kTagLi:
        return token == kTagLi || (token >= 37 && token <= 41);  // LI, OL, UL, DIR, MENU, DL
    case kTagDt:
    case kTagDd:
        return token == kTagDd;
    case kTagOption:
        return token == kTagOption;
    default:
        return false;
    }
}

void HElement::OutputChildren(HContext& ctx) {
    if (tree_)
        tree_->Output(ctx, contentBegin_, contentEnd_);
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

}  // namespace quorvel
