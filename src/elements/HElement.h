// HElement: a node of the document tree, and the element of every HTML tag without
// behaviour of its own.
//
// The tree builds itself: an element reads its own attribute list and then its content,
// asking the scanner for tokens and adding child elements until its end tag, a token that
// ends it implicitly, or the end of input. Output writes the element and its children in
// document order (in post-process mode it writes nothing but still visits every child).
// An element owns its attribute values and its children.
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

class HContext;

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
    virtual bool EndsAt(int token) const;
    virtual std::unique_ptr<HElement> ReadContent(HContext& ctx, int& status);

    int TagIndex() const { return tagIndex_; }
    // The value of an attribute (upper-case name), or nullptr when the attribute is
    // absent or was written without a value.
    const HValue* Attribute(const std::string& name) const;
    bool HasAttribute(const std::string& name) const { return attributes_.Find(name) != nullptr; }
    const HNameMap<HValuePtr>& Attributes() const { return attributes_; }
    const std::vector<std::unique_ptr<HElement>>& Children() const { return children_; }

    // Elements nested deeper than this while reading are refused (error 7) so that no
    // template can exhaust the stack.
    static constexpr int kMaxDepth = 1000;

protected:
    void OutputChildren(HContext& ctx);

    HNameMap<HValuePtr> attributes_;
    std::vector<std::unique_ptr<HElement>> children_;
    int tagIndex_;
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

// An at-sign expression in running text; writes its value's evaluated text.
class HLookupElement : public HElement {
public:
    explicit HLookupElement(HValuePtr value);
    std::unique_ptr<HElement> Parse(HContext& ctx, int& status) override;
    void Output(HContext& ctx) override;
    const HValue* Value() const { return value_.get(); }

private:
    HValuePtr value_;
};

// P, LI, DT, DD and OPTION: ended implicitly by certain tags.
class HParagraphElement : public HElement {
public:
    HParagraphElement();
    bool EndsAt(int token) const override;
};

class HListItemElement : public HElement {
public:
    HListItemElement();
    bool EndsAt(int token) const override;
};

class HDefTermElement : public HElement {
public:
    HDefTermElement();
    bool EndsAt(int token) const override;
};

class HDefDataElement : public HElement {
public:
    HDefDataElement();
    bool EndsAt(int token) const override;
};

class HOptionElement : public HElement {
public:
    HOptionElement();
    bool EndsAt(int token) const override;
};

// The root element; behaves exactly as HElement.
class HHtmlElement : public HElement {
public:
    HHtmlElement();
};
