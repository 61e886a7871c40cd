#include "FuzzObjectReader.h"

#include <vector>

#include "base/HExcept.h"
#include "elements/HElement.h"
#include "elements/HElementFactory.h"
#include "elements/HElementTree.h"
#include "elements/HScanner.h"
#include "template/HCharClass.h"
#include "template/HTagTable.h"
#include "values/HAttributes.h"
#include "values/HContext.h"
#include "values/HValueParser.h"
#include "values/HWriter.h"

using namespace quorvel;

namespace fuzzmodel {

namespace {

// A run of template text, written unchanged.
class Text : public Node {
public:
    explicit Text(std::string text) : text_(std::move(text)) {}
    void Output(HContext& ctx) const override {
        if (!ctx.postProcess)
            WriteText(ctx, text_);
    }

private:
    std::string text_;
};

// A tag outside the table (or an end tag that closes nothing), written back as it was read,
// its name upper-cased.
class Unknown : public Node {
public:
    explicit Unknown(std::string text) : text_(std::move(text)) {}
    void Output(HContext& ctx) const override {
        if (ctx.postProcess)
            return;
        WriteText(ctx, "<");
        WriteText(ctx, text_);
        WriteText(ctx, ">");
    }
    const std::string& Text() const { return text_; }

private:
    std::string text_;
};

// An at-sign expression, its data escaped for where it stands.
class Lookup : public Node {
public:
    Lookup(HValuePtr value, HText::Sink sink) : value_(std::move(value)), sink_(sink) {}
    void Output(HContext& ctx) const override {
        if (!ctx.postProcess && value_)
            WriteValue(ctx, *value_, sink_);
    }

private:
    HValuePtr value_;
    HText::Sink sink_;
};

// A tag of the table without behaviour: the tag with its attributes, its children, and its
// end tag when it has one.
class Tag : public Node {
public:
    Tag(int tag, HText::Sink sink) : tag_(tag), sink_(sink) {}
    void Output(HContext& ctx) const override {
        if (!ctx.postProcess) {
            WriteTagOpen(ctx, tag_);
            attributes_.ForEach([&](const std::string& name, const HValuePtr& value) {
                WriteAttribute(ctx, name, value.get(), sink_);
            });
            WriteTagClose(ctx);
        }
        for (const auto& child : children_)
            child->Output(ctx);
        if (!ctx.postProcess)
            WriteEndTag(ctx, tag_);
    }
    bool HasFunction() const override {
        for (const auto& child : children_)
            if (child->HasFunction())
                return true;
        return false;
    }

    int tag_;
    HText::Sink sink_;
    HNameMap<HValuePtr> attributes_;
    std::vector<std::unique_ptr<Node>> children_;
};

// An element with behaviour, read and written by the real element in a tree of its own.
class Behaviour : public Node {
public:
    void Output(HContext& ctx) const override { tree_.Output(ctx, 0, tree_.Size()); }
    bool HasFunction() const override {
        bool found = false;
        tree_.Visit(0, tree_.Size(), [&](const HElementTree::PieceView& p) {
            found = found || (p.element && p.element->TagIndex() == kTagFunction);
        });
        return found;
    }

    HElementTree tree_;
};

// What a token read: its index, and for a start tag with behaviour its real element, for
// another token other than an end tag its node.
struct Token {
    int index = kTagEof;
    std::unique_ptr<HElement> element;
    std::unique_ptr<Node> node;
};

bool Stop(const char* bytes, int c) {
    for (; *bytes; ++bytes)
        if (c == static_cast<unsigned char>(*bytes))
            return true;
    return false;
}

// Appends to `out` the bytes up to one of `stops` (or a zero byte, when `zero`), left unread.
void ReadUpTo(HInput& in, const char* stops, bool zero, std::string& out) {
    for (int c = in.Get();; c = in.Get()) {
        if (c == HInput::kEof || Stop(stops, c) || (zero && c == 0)) {
            in.Unget(c);
            return;
        }
        out.push_back(static_cast<char>(c));
    }
}

// The rest of an unknown tag or an end tag read as text, up to its `>`, noted as the
// scanner notes it.
std::unique_ptr<Node> UnknownTag(HContext& ctx, std::string text) {
    const size_t nameEnd = text.size();
    ReadUpTo(*ctx.input, ">", false, text);
    NoteUnknownTag(ctx, std::string_view(text).substr(0, nameEnd), std::string_view(text).substr(nameEnd));
    return std::make_unique<Unknown>(std::move(text));
}

Token Scan(HContext& ctx) {
    HInput& in = *ctx.input;
    Token t;
    int c = in.Get();
    if (c == HInput::kEof)
        return t;
    if (c == '<') {
        // The name: up to a blank or `>`, at most 72 bytes, upper-cased.
        std::string name;
        bool ended = false;
        while (name.size() < 72) {
            int n = in.Get();
            if (n == HInput::kEof)
                break;
            if (n == ' ' || n == '\t' || n == '\n' || n == '>') {
                in.Unget(n);
                ended = true;
                break;
            }
            name.push_back(TemplateUpper(n));
        }
        t.index = ended ? LookupTag(name) : kTagUnknown;
        if (t.index == kTagUnknown)
            t.node = UnknownTag(ctx, std::move(name));
        else if (t.index < kFirstEndTag && !(t.element = CreateBehaviourElement(t.index)))
            t.node = std::make_unique<Tag>(t.index, ctx.content);
        return t;
    }
    if (c == '@') {
        in.Unget(c);
        HValuePtr value;
        ParseValue(in, value);
        t.index = kTagLookup;
        t.node = std::make_unique<Lookup>(std::move(value), ctx.content);
        return t;
    }
    std::string text(1, static_cast<char>(c));
    ReadUpTo(in, "<@", true, text);
    if (ctx.openTag)
        FeedOpenTag(ctx, text);
    t.index = kTagText;
    t.node = std::make_unique<Text>(std::move(text));
    return t;
}

void ReadContent(HContext& ctx, Tag& parent, Token& pending, int& status);

// The start tag `tag` as a browser reading a tag left open before it sees it: a value that
// writes the same text whenever it is written (words, literals, short constant quoted
// texts) as it is written, any other value as an empty quoted one.
std::string StartTagText(HContext& ctx, const Tag& tag) {
    std::string out = "<" + std::string(TagName(tag.tag_));
    tag.attributes_.ForEach([&](const std::string& name, const HValuePtr& value) {
        out += " " + name;
        if (!value)
            return;
        bool constant = value->Kind() == HValue::kWord || value->Kind() == HValue::kLiteral;
        if (value->Kind() == HValue::kQuoted) {
            size_t size = 0;
            constant = true;
            for (const HValuePtr& piece : static_cast<const HQuotedValue&>(*value).Pieces()) {
                constant = constant && (piece->Kind() == HValue::kLiteral || piece->Kind() == HValue::kWord);
                size += piece->Text().size();
            }
            constant = constant && size <= HQuotedValue::kMaxQuotedText;
        }
        if (!constant) {
            // Only the author's text of a quoted value is known here; its quotes are written
            // as references, and the data holds none where a tag is left open.
            out += "=\"";
            if (value->Kind() == HValue::kQuoted)
                for (const HValuePtr& piece : static_cast<const HQuotedValue&>(*value).Pieces())
                    if (piece->Kind() == HValue::kLiteral)
                        for (char c : piece->Text())
                            out += c == '"' ? "" : std::string(1, c);
            out += "\"";
            return;
        }
        std::string text;
        const bool quoted = EvaluateAttribute(ctx, name, *value, ctx.content, text);
        out += quoted ? "=\"" + text + "\"" : "=" + text;
    });
    return out + ">";
}

// Reads what the token begun (its attributes, its content) into `parent`; `pending` gets
// the token that ended it, when one did (status as HElement::Parse leaves it).
void ReadChild(HContext& ctx, Tag& parent, Token token, Token& pending, int& status) {
    status = 1;
    if (token.element) {
        auto behaviour = std::make_unique<Behaviour>();
        HElementTree* outer = ctx.tree;
        ctx.tree = &behaviour->tree_;
        try {
            pending.element = HElement::ReadElement(ctx, token.index, std::move(token.element), status);
        } catch (...) {
            ctx.tree = outer;
            throw;
        }
        ctx.tree = outer;
        parent.children_.push_back(std::move(behaviour));
        if (status >= kFirstStartTag && status <= kLastStartTag && !pending.element)
            pending.node = std::make_unique<Tag>(status, ctx.content);
        return;
    }
    Node* node = token.node.get();
    parent.children_.push_back(std::move(token.node));
    if (token.index == kTagUnknown) {
        ctx.input->Get();  // its `>`
    } else if (auto* element = dynamic_cast<Tag*>(node)) {
        Tag& tag = *element;
        std::string name;
        HValuePtr value;
        while (ReadAttribute(*ctx.input, name, value))
            tag.attributes_.Slot(name) = std::move(value);
        if (ctx.openTag)
            FeedOpenTag(ctx, StartTagText(ctx, tag));
        if (token.index > kTagLookup) {
            ReadContent(ctx, tag, pending, status);
            if (ctx.openTag && token.index + kEndTagOffset <= kLastEndTag)
                FeedOpenTag(ctx, "<" + std::string(TagName(token.index + kEndTagOffset)) + ">");
        }
    }
}

void ReadContent(HContext& ctx, Tag& parent, Token& pending, int& status) {
    HDepthGuard depth(ctx.elementDepth);
    if (ctx.elementDepth > HElement::kMaxDepth)
        throw HExcept(kErrHtmlSyntax);
    HDepthGuard open(ctx.openElements[parent.tag_]);
    const HElement ends(parent.tag_);
    Token token = Scan(ctx);
    while (token.index != kTagEof) {
        if (parent.tag_ >= kTagDbResult && token.index == parent.tag_ + kEndTagOffset) {
            CloseEndTag(ctx);
            status = 1;
            return;
        }
        if (token.index >= kFirstEndTag) {
            // An end tag that closes no open element is text where it stands, except in an
            // included file.
            if (ctx.openElements[token.index - kEndTagOffset] == 0 && ctx.includeDepth == 0) {
                token.node = UnknownTag(ctx, std::string(TagName(token.index)));
                token.index = kTagUnknown;
                continue;
            }
            status = token.index;
            return;
        }
        if (ends.EndsAt(token.index)) {
            status = token.index;
            pending = std::move(token);
            return;
        }
        Token next;
        ReadChild(ctx, parent, std::move(token), next, status);
        if (status == 1) {
            token = Scan(ctx);
        } else {
            token = std::move(next);
            token.index = status;
            status = 1;
        }
    }
    status = 0;
}

void SkipBlanks(HInput& in) {
    int c;
    do
        c = in.Get();
    while (c == ' ' || c == '\t' || c == '\n');
    in.Unget(c);
}

// The document: the document type when one stands first, and <HTML>.
class Document : public Node {
public:
    void Output(HContext& ctx) const override {
        if (type_) {
            type_->Output(ctx);
            if (!ctx.postProcess)
                WriteText(ctx, "\n");
        }
        for (const auto& root : holder_.children_)
            root->Output(ctx);
    }
    bool HasFunction() const override { return holder_.HasFunction(); }

    std::unique_ptr<Node> type_;
    Tag holder_{kTagEof, HText::kPage};  // holds <HTML>
};

}  // namespace

std::unique_ptr<Node> ReadTemplate(HContext& ctx) {
    auto document = std::make_unique<Document>();
    SkipBlanks(*ctx.input);
    Token token = Scan(ctx);
    if (token.index == kTagUnknown) {
        const std::string& text = static_cast<const Unknown&>(*token.node).Text();
        if (text.compare(0, 8, "!DOCTYPE") == 0 && (text.size() == 8 || Stop(" \t\n", text[8]))) {
            ctx.input->Get();  // its `>`
            document->type_ = std::move(token.node);
            SkipBlanks(*ctx.input);
            token = Scan(ctx);
        }
    }
    if (token.index != kTagHtml)
        return nullptr;
    Token pending;
    int status = 1;
    ReadChild(ctx, document->holder_, std::move(token), pending, status);
    return document;
}

}  // namespace fuzzmodel
