#include "elements/HElementTree.h"

#include <algorithm>
#include <cstring>

#include "values/HContext.h"
#include "elements/HElement.h"
#include "template/HPage.h"
#include "values/HWriter.h"

namespace quorvel {

HElementTree::HElementTree() : rendered_(HPage::Temporary()) {}

HElementTree::~HElementTree() = default;

HElementTree::Piece& HElementTree::NewPiece(Piece::Kind kind) {
    if (size_ % kPiecesPerBlock == 0)
        pieceBlocks_.emplace_back(new Piece[kPiecesPerBlock]);
    Piece& p = pieceBlocks_.back()[size_ % kPiecesPerBlock];
    ++size_;
    p.size = 0;
    p.kind = kind;
    openText_ = nullptr;
    return p;
}

void HElementTree::AppendTextSlow(std::string_view text) {
    while (!text.empty()) {
        if (textEnd_ == textLimit_) {
            textBlocks_.emplace_back(new char[kTextBlock]);
            textEnd_ = textBlocks_.back().get();
            textLimit_ = textEnd_ + kTextBlock;
            openText_ = nullptr;  // a piece never spans two blocks
        }
        size_t n = std::min(text.size(), static_cast<size_t>(textLimit_ - textEnd_));
        std::memcpy(textEnd_, text.data(), n);
        if (openText_) {
            openText_->size += static_cast<uint32_t>(n);
        } else {
            Piece& p = NewPiece(Piece::kText);
            p.text = textEnd_;
            p.size = static_cast<uint32_t>(n);
            openText_ = &p;
        }
        textEnd_ += n;
        text.remove_prefix(n);
    }
}

void HElementTree::AppendValue(HValuePtr value, HText::Sink sink) {
    if (!value)
        return;
    const HValue* kept = value.get();
    if (value->Kind() == HValue::kVarRef) {
        // A reference is its name only: one value serves every `@name` of the page.
        HValuePtr& slot = references_[value->Text()];
        if (!slot)
            slot = std::move(value);
        kept = slot.get();
    } else {
        values_.push_back(std::move(value));
    }
    Piece& p = NewPiece(Piece::kValue);
    p.value = kept;
    p.size = sink;
}

bool HElementTree::AppendReference(const std::string& name, HText::Sink sink) {
    auto found = references_.find(name);
    if (found == references_.end())
        return false;
    Piece& p = NewPiece(Piece::kValue);
    p.value = found->second.get();
    p.size = sink;
    return true;
}

void HElementTree::AppendAttribute(const std::string& name, HValuePtr value, HText::Sink content) {
    attributes_.push_back(Attribute{name, std::move(value)});
    Piece& p = NewPiece(Piece::kAttribute);
    p.attribute = &attributes_.back();
    p.size = content;
}

void HElementTree::Keep(std::unique_ptr<HElement> root) { root_ = std::move(root); }

void HElementTree::AppendElement(HElement* element) { NewPiece(Piece::kElement).element = element; }

void HElementTree::SwapPage(HContext& ctx) { ctx.page.swap(rendered_); }

void HElementTree::TakeRendered() {
    if (rendered_->InMemory()) {
        AppendText(rendered_->View());
        rendered_->Clear();
    } else {
        AppendText(rendered_->Contents());
        rendered_ = HPage::Temporary();
    }
}

void HElementTree::Output(HContext& ctx, size_t first, size_t last) const {
    for (size_t i = first; i < last;) {
        const Piece& p = At(i++);
        if (p.kind == Piece::kElement) {
            p.element->Output(ctx);
            i = std::max(i, p.element->ContentEnd());
            continue;
        }
        if (ctx.postProcess)
            continue;
        switch (p.kind) {
        case Piece::kText:
            WriteText(ctx, std::string_view(p.text, p.size));
            break;
        case Piece::kValue:
            WriteValue(ctx, *p.value, static_cast<HText::Sink>(p.size));
            break;
        case Piece::kAttribute:
            WriteAttribute(ctx, p.attribute->name, p.attribute->value.get(), static_cast<HText::Sink>(p.size));
            break;
        case Piece::kElement:
            break;
        }
    }
}

}  // namespace quorvel
