#include "elements/HElementTree.h"

#include <algorithm>
#include <cstring>

#include "values/HContext.h"
#include "base/HExcept.h"
#include "template/HInput.h"
#include "template/HSiteFiles.h"
#include "elements/HElement.h"
#include "values/HWriter.h"

namespace quorvel {

HElementTree::HElementTree(bool keepTokens) : keepTokens_(keepTokens) {}

HElementTree::~HElementTree() = default;

HElementTree::Piece& HElementTree::NewPiece(Piece::Kind kind) {
    if (size_ % kPiecesPerBlock == 0)
        pieceBlocks_.emplace_back(new Piece[kPiecesPerBlock]);
    Piece& p = pieceBlocks_.back()[size_ % kPiecesPerBlock];
    ++size_;
    p.size = 0;
    p.file = kNoFile;
    p.sink = 0;
    p.kind = kind;
    openText_ = nullptr;
    return p;
}

HElementTree::Piece& HElementTree::NewPiece(Piece::Kind kind, size_t at) {
    Piece& p = NewPiece(kind);
    p.size = static_cast<uint32_t>(at < UINT32_MAX ? at : UINT32_MAX);
    p.file = static_cast<uint16_t>(file_);
    return p;
}

unsigned HElementTree::EnterFile(const std::string& path, const HFileStamp& stamp) {
    sources_.push_back(Source{path, true, stamp});
    unsigned previous = file_;
    if (files_.size() < kNoFile) {
        files_.push_back(path);
        file_ = static_cast<unsigned>(files_.size() - 1);
    } else {
        file_ = kNoFile;  // more files than a piece can name: their places go unnamed
    }
    return previous;
}

std::string HElementTree::Where(const Piece& piece) const {
    return piece.file < files_.size() ? FilePosition(files_[piece.file], piece.size) : std::string();
}

std::string HElementTree::WhereReading(const HInput& in) const {
    return file_ < files_.size() ? FilePosition(files_[file_], in.Offset()) : std::string();
}

std::string HElementTree::Where(const HElement* element) const {
    for (size_t i = 0; i < size_; ++i)
        if (At(i).kind == Piece::kElement && At(i).element == element)
            return Where(At(i));
    return std::string();
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

void HElementTree::AppendValue(HValuePtr value, HText::Sink sink, size_t at) {
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
    Piece& p = NewPiece(Piece::kValue, at);
    p.value = kept;
    p.sink = static_cast<uint8_t>(sink);
}

namespace {

size_t RecentSlot(std::string_view name, size_t slots) {
    const size_t first = name.empty() ? 0 : static_cast<unsigned char>(name.front());
    const size_t last = name.empty() ? 0 : static_cast<unsigned char>(name.back());
    return (name.size() * 7 + first + last * 3) % slots;
}

}  // namespace

const HValue* HElementTree::FindReference(std::string_view name) const {
    auto found = references_.find(std::string(name));
    return found == references_.end() ? nullptr : found->second.get();
}

bool HElementTree::AppendReference(std::string_view name, HText::Sink sink, size_t at) {
    const HValue*& recent = recent_[RecentSlot(name, kRecent)];
    if (!recent || recent->Text() != name) {
        const HValue* found = FindReference(name);
        if (!found)
            return false;
        recent = found;
    }
    Piece& p = NewPiece(Piece::kValue, at);
    p.value = recent;
    p.sink = static_cast<uint8_t>(sink);
    return true;
}

void HElementTree::AppendAttribute(const std::string& name, HValuePtr value, HText::Sink content, size_t at) {
    attributes_.push_back(Attribute{name, std::move(value)});
    Piece& p = NewPiece(Piece::kAttribute, at);
    p.attribute = &attributes_.back();
    p.sink = static_cast<uint8_t>(content);
}

size_t HElementTree::FinishReading() {
    std::string().swap(scratch_);
    openText_ = nullptr;
    textEnd_ = textLimit_;  // nothing is appended any more
    size_t bytes = pieceBlocks_.size() * kPiecesPerBlock * sizeof(Piece) + textBlocks_.size() * kTextBlock;
    bytes += (references_.size() + values_.size() + attributes_.size() + elements_.size()) * 64;
    for (const Source& source : sources_)
        bytes += sizeof(Source) + source.path.size();
    return bytes;
}

void HElementTree::AppendElement(std::unique_ptr<HElement> element, size_t at) {
    elements_.push_back(std::move(element));
    NewPiece(Piece::kElement, at).element = elements_.back().get();
}

void HElementTree::PlaceReadingFault(HContext& ctx, HExcept& e, const HInput& in) const {
    if (!e.where.empty())
        return;
    e.where = WhereReading(in);
    ctx.reading.failed = true;
    ctx.reading.file = file_;
    ctx.reading.at = in.Offset();
    ctx.reading.includeDepth = ctx.includeDepth;
}

HElementTree::PieceView HElementTree::View(size_t i) const {
    const Piece& p = At(i);
    PieceView v{static_cast<PieceView::Kind>(p.kind), i, {}};
    v.end = i + 1;
    if (p.kind == Piece::kText) {
        v.text = std::string_view(p.text, p.size);
        return v;
    }
    v.file = p.file;
    v.offset = p.size;
    switch (p.kind) {
    case Piece::kValue:
        v.value = p.value;
        break;
    case Piece::kAttribute:
        v.value = p.attribute->value.get();
        v.name = &p.attribute->name;
        break;
    case Piece::kElement:
        v.element = p.element;
        if (p.element->ContentBegin() != 0)
            v.end = p.element->ContentEnd() != 0 ? p.element->ContentEnd() : size_;
        break;
    default:
        v.token = p.sink;
        break;
    }
    return v;
}

void HElementTree::Output(HContext& ctx, size_t first, size_t last) const {
    size_t i = first;
    try {
        while (i < last) {
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
                WriteValue(ctx, *p.value, static_cast<HText::Sink>(p.sink));
                break;
            case Piece::kAttribute:
                WriteAttribute(ctx, p.attribute->name, p.attribute->value.get(),
                               static_cast<HText::Sink>(p.sink));
                break;
            case Piece::kElement:
            case Piece::kToken:
                break;
            }
        }
    } catch (HExcept& e) {
        // The innermost piece that failed names the place; the pieces around it keep it.
        if (e.where.empty() && i > first)
            e.where = Where(At(i - 1));
        throw;
    }
}

}  // namespace quorvel
