// ElementFixture: reads a piece of template text into a tree with the real reader, as a
// request does, and writes its first element with a fresh context, for unit tests of single
// elements with behaviour.
#pragma once

#include <memory>
#include <string>

#include "values/HContext.h"
#include "elements/HElement.h"
#include "elements/HElementTree.h"
#include "template/HInput.h"
#include "template/HPage.h"
#include "elements/HScanner.h"
#include "values/HValue.h"

using namespace quorvel;

class ElementFixture {
public:
    ElementFixture() {
        ctx.page = HPage::Temporary();
        ctx.tree = &tree;
    }

    // Reads `text` (one element with behaviour and its content) as the template.
    HElement& Parse(const std::string& text) {
        ctx.templateStream = HInput::FromString(text);
        ctx.input = ctx.templateStream.get();
        std::unique_ptr<HElement> read;
        ScanInto(ctx, tree, read);
        element = read.get();
        tree.AppendElement(std::move(read));
        int status = 1;
        element->Parse(ctx, status);
        return *element;
    }

    // Writes the element and returns everything the page holds since the last call.
    std::string Write() {
        element->Output(ctx);
        std::string all = ctx.page->Contents();
        std::string fresh = all.substr(seen_);
        seen_ = all.size();
        return fresh;
    }

    void Define(const std::string& name, const std::string& value) {
        ctx.symbols.Define(name, std::make_unique<HWordValue>(value));
    }

    HElementTree tree;
    HContext ctx;
    HElement* element = nullptr;

private:
    size_t seen_ = 0;
};
