// HElement: an element of the document tree, and the element of every HTML tag without
// behaviour of its own.
//
// The tree builds itself: an element reads its own attribute list and then its content
// into the tree (ctx.tree), asking the scanner for tokens until its end tag, a token that
// ends it implicitly, or the end of input. Text and tags without behaviour of their own
// become pieces of the tree; an element with behaviour becomes an element piece followed by
// its content. An element owns its attribute values; its content is a range of pieces of
// the tree, which owns it. Output writes the element and its content in document order (in
// post-process mode it writes nothing but still visits every element with behaviour).
//
// Status convention of Parse and ReadContent, seen by the caller after the call:
//   1      complete; nothing pending.
//   0      end of input.
//   other  the element was ended by that token (an end tag, or a start tag for which
//          EndsAt was true); the returned element is the one created for the token
//          (null for an end tag and a tag without behaviour) and the caller must handle the
//          token next.
#pragma once

#include <memory>
#include <string>

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
    // The content's pieces in the tree, [ContentBegin(), ContentEnd()): 0 for an element
    // without content, and ContentEnd() 0 while (or when) it is not read to its end.
    size_t ContentBegin() const { return contentBegin_; }
    size_t ContentEnd() const { return contentEnd_; }
    const HElementTree* Tree() const { return tree_; }

    // Reads a template into ctx.tree: blanks, an optional document type, then the first
    // token, which is returned; when it is <HTML>, that element and its content are read
    // (`status` as Parse leaves it).
    static int ReadDocument(HContext& ctx, int& status);
    // Reads the element of the start tag `token`, whose name has just been read, into
    // ctx.tree with its content; `element` is the one ScanInto made for it (null for a tag
    // without behaviour). Returns as ReadContent does.
    static std::unique_ptr<HElement> ReadElement(HContext& ctx, int token, std::unique_ptr<HElement> element,
                                                 int& status);

    // Elements nested deeper than this while reading are refused (error 7) so that no
    // template can exhaust the stack.
    static constexpr int kMaxDepth = 1000;

protected:
    void OutputChildren(HContext& ctx);

    HNameMap<HValuePtr> attributes_;
    int tagIndex_;
    // kScript or kStyle when the element stands in SCRIPT or STYLE content, where the data
    // it writes is escaped as script or style sheet; kPage otherwise.
    HText::Sink content_ = HText::kPage;

private:
    std::unique_ptr<HElement> ReadTokens(HContext& ctx, int& status);
    static std::unique_ptr<HElement> ReadPassedThrough(HContext& ctx, int token, int& status);

    const HElementTree* tree_ = nullptr;
    size_t contentBegin_ = 0;
    size_t contentEnd_ = 0;
};

}  // namespace quorvel
