// HElement: a node of the document tree, and the element of every HTML tag without
// behaviour of its own.
//
// The tree builds itself: an element reads its own attribute list and then its content,
// asking the scanner for tokens and adding child elements until its end tag, a token that
// ends it implicitly, or the end of input. Output writes the element and its children in
// document order (in post-process mode it writes nothing but still visits every child).
// An element owns its attribute values and its children. While a request reads its
// template (HContext::tree set), an element's content is a range of pieces of the request's
// HElementTree: text and tags without behaviour of their own become pieces of that tree
// instead of elements, and only elements with behaviour are kept as children.
//
// Status convention of Parse and ReadContent, seen by the caller after the call:
//   1      complete; nothing pending.
//   0      end of input.
//   other  the element was ended by that token (an end tag, or a start tag for which
//          EndsAt was true); the returned element is the one created for the token
//          (null for an end tag) and the caller must handle the token next.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "values/HNameMap.h"
#include "values/HValue.h"

namespace quorvel {

class HContext;
class HElementTree;

class HElement {
public:
    explicit HElement(int tagIndex) : tagIndex_(tagIndex) {}
    virtual ~HElement();
    HElement(const HElement&) = delete;
    HElement& operator=(const HElement&) = delete;

    virtual std::unique_ptr<HElement> Parse(HContext& ctx, int& status);
    virtual void Output(HContext& ctx);
    virtual void ReadAttributes(HContext& ctx);
    virtual void WriteAttributes(HContext& ctx);
    // Whether the start tag `token` ends this element implicitly: P, LI, DT, DD and OPTION
    // are ended by certain tags, other elements only by end tags.
    virtual bool EndsAt(int token) const;
    virtual std::unique_ptr<HElement> ReadContent(HContext& ctx, int& status);

    int TagIndex() const { return tagIndex_; }
    // The value of an attribute (upper-case name), or nullptr when the attribute is
    // absent or was written without a value.
    const HValue* Attribute(const std::string& name) const;
    bool HasAttribute(const std::string& name) const { return attributes_.Find(name) != nullptr; }
    const HNameMap<HValuePtr>& Attributes() const { return attributes_; }
    // The children: every element read, or with a tree only those with behaviour of their
    // own (what is passed through is pieces of the tree), in document order either way.
    const std::vector<std::unique_ptr<HElement>>& Children() const { return children_; }
    // The end of the content's pieces in the request's tree (0 when there are none).
    size_t ContentEnd() const { return contentEnd_; }

    // Elements nested deeper than this while reading are refused (error 7) so that no
    // template can exhaust the stack.
    static constexpr int kMaxDepth = 1000;

protected:
    void OutputChildren(HContext& ctx);

    HNameMap<HValuePtr> attributes_;
    std::vector<std::unique_ptr<HElement>> children_;
    int tagIndex_;
    // kScript or kStyle when the element stands in SCRIPT or STYLE content, where the data
    // it writes is escaped as script or style sheet; kPage otherwise.
    HText::Sink content_ = HText::kPage;

private:
    std::unique_ptr<HElement> ReadTokens(HContext& ctx, int& status);
    std::unique_ptr<HElement> ReadChild(HContext& ctx, int token, std::unique_ptr<HElement> element,
                                        int& status);
    std::unique_ptr<HElement> ReadPassedThrough(HContext& ctx, int token, int& status);

    // The content's pieces in the tree: [contentBegin_, contentEnd_).
    const HElementTree* tree_ = nullptr;
    size_t contentBegin_ = 0;
    size_t contentEnd_ = 0;
};

// A run of template text, written unchanged.
class HTextElement : public HElement {
public:
    explicit HTextElement(std::string text);
    std::unique_ptr<HElement> Parse(HContext& ctx, int& status) override;
    void Output(HContext& ctx) override;
    const std::string& Text() const { return text_; }

private:
    std::string text_;
};

// A tag whose name is not in the table, written back as it was read (name upper-cased).
class HUnknownTagElement : public HElement {
public:
    explicit HUnknownTagElement(std::string text);
    void Output(HContext& ctx) override;
    const std::string& Text() const { return text_; }

private:
    std::string text_;
};

// An at-sign expression in running text, or in the content of SCRIPT or STYLE; writes its
// value's evaluated text, its data escaped for that place.
class HLookupElement : public HElement {
public:
    explicit HLookupElement(HValuePtr value);
    std::unique_ptr<HElement> Parse(HContext& ctx, int& status) override;
    void Output(HContext& ctx) override;
    const HValue* Value() const { return value_.get(); }

private:
    HValuePtr value_;
};

}  // namespace quorvel
