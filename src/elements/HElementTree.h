// HElementTree: the document tree of one request, kept compact and owned in one place.
//
// Most of a page is passed through: plain text, unknown tags and tags without behaviour of
// their own. None of it becomes an object. The tree is one sequence of pieces in document
// order, each 16 bytes:
//   text       bytes written as they are (text runs, unknown tags, tags with constant
//              attributes, end tags), kept in large shared blocks; adjacent text is one
//              piece;
//   value      an at-sign expression, evaluated when written;
//   attribute  an attribute whose value has references, written with its tag;
//   element    an element with behaviour (SQL, DBRESULT, FORM ...), followed by the pieces
//              of its content; the element records where they end.
// A value, attribute or element piece also records the file and the byte where it starts,
// so that a failure in writing it can name its place (HExcept::where).
// An element with behaviour is still an HElement object, with its attributes; its content
// is the range of pieces it read (see HElement::OutputChildren).
//
// The tree owns every piece and value, and the root element (which owns the elements with
// behaviour): destroying it frees them in one go, and a process that ends with its request
// need not destroy it at all. It also notes every file its reading looked at, with the stamp
// of those it read (Sources), so that a process serving request after request can write it
// again, for as long as those files are the same, without reading them again: writing
// changes nothing in the tree, and what a request changes lives in its HContext.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "template/HInput.h"
#include "values/HValue.h"

namespace quorvel {

class HContext;
class HElement;
class HInput;
class HPage;

class HElementTree {
public:
    HElementTree();
    ~HElementTree();
    HElementTree(const HElementTree&) = delete;
    HElementTree& operator=(const HElementTree&) = delete;

    // The number of pieces so far: the index of the next piece.
    size_t Size() const { return size_; }
    // Size(), as a bound of an element's content: text appended next starts a new piece.
    size_t Mark() {
        openText_ = nullptr;
        return size_;
    }

    void AppendText(std::string_view text) {
        if (openText_ && text.size() <= static_cast<size_t>(textLimit_ - textEnd_)) {
            std::char_traits<char>::copy(textEnd_, text.data(), text.size());
            textEnd_ += text.size();
            openText_->size += static_cast<uint32_t>(text.size());
        } else {
            AppendTextSlow(text);
        }
    }
    // The pieces below start at byte `at` of the file being read (see EnterFile).
    // An at-sign expression (nothing for a null value, which writes nothing), written as
    // `sink` says (running text, or the content of SCRIPT or STYLE).
    void AppendValue(HValuePtr value, HText::Sink sink, size_t at = 0);
    // `@name` when a value for it exists already; false (nothing appended) otherwise.
    bool AppendReference(const std::string& name, HText::Sink sink, size_t at = 0);
    // An attribute with references, written as `content` says (see WriteAttribute).
    void AppendAttribute(const std::string& name, HValuePtr value, HText::Sink content, size_t at = 0);
    // An element with behaviour, owned by its parent; its content follows as the next
    // pieces.
    void AppendElement(HElement* element, size_t at = 0);

    // Pieces appended from now on come from the file `path` (the template, then each
    // included file as it is read), opened with `stamp`. Returns the file they came from
    // before, for LeaveFile.
    unsigned EnterFile(const std::string& path, const HFileStamp& stamp = HFileStamp());
    // Reading looked for the file `path` and did not open it (an include found elsewhere).
    void NoteNotOpened(const std::string& path) { sources_.push_back(Source{path, false, HFileStamp()}); }
    // The files reading looked at, in order: the template first.
    struct Source {
        std::string path;
        bool opened;
        HFileStamp stamp;  // when opened
    };
    const std::vector<Source>& Sources() const { return sources_; }
    // Reading is over: frees what only reading needs, and returns about how many bytes the
    // tree holds.
    size_t FinishReading();
    void LeaveFile(unsigned previous) { file_ = previous; }
    // "FILE:LINE:COLUMN" where `element` starts, or "" when it is not in the tree.
    std::string Where(const HElement* element) const;
    // "FILE:LINE:COLUMN" where `in`, the file being read now, stands.
    std::string WhereReading(const HInput& in) const;
    // The template's name, or "" before it is read.
    std::string Template() const { return files_.empty() ? std::string() : files_[0]; }
    // The tree keeps the root element, which owns the others.
    void Keep(std::unique_ptr<HElement> root);

    // Appends, as text, what `write` writes to ctx.page.
    template <class F>
    void Render(HContext& ctx, F&& write);

    // A buffer the scanner reuses for the text it reads.
    std::string& Scratch() { return scratch_; }

    // Writes pieces [first, last) to the page (in post-process mode only the elements
    // are visited). An element piece skips the pieces of its content.
    void Output(HContext& ctx, size_t first, size_t last) const;

private:
    struct Attribute {
        std::string name;
        HValuePtr value;
    };
    struct Piece {
        enum Kind : uint8_t { kText, kValue, kAttribute, kElement };
        union {
            const char* text;
            const HValue* value;
            const Attribute* attribute;
            HElement* element;
        };
        uint32_t size;  // of a text piece; of another, the byte of its file where it starts
        uint16_t file;  // of a piece other than text: the index of its file in files_
        uint8_t sink;   // of a value or attribute piece: its HText::Sink
        Kind kind;
    };
    static constexpr size_t kPiecesPerBlock = 4096;
    static constexpr size_t kTextBlock = 64 * 1024;

    Piece& NewPiece(Piece::Kind kind);
    Piece& NewPiece(Piece::Kind kind, size_t at);
    std::string Where(const Piece& piece) const;
    void AppendTextSlow(std::string_view text);
    const Piece& At(size_t i) const { return pieceBlocks_[i / kPiecesPerBlock][i % kPiecesPerBlock]; }
    void SwapPage(HContext& ctx);
    void TakeRendered();

    std::vector<std::unique_ptr<Piece[]>> pieceBlocks_;
    size_t size_ = 0;
    Piece* openText_ = nullptr;  // the last piece while it is text, to grow it

    std::vector<std::unique_ptr<char[]>> textBlocks_;
    char* textEnd_ = nullptr;    // free space of the last text block
    char* textLimit_ = nullptr;

    std::unordered_map<std::string, HValuePtr> references_;  // `@name`, one per name
    std::vector<HValuePtr> values_;                          // other at-sign expressions
    std::deque<Attribute> attributes_;
    std::unique_ptr<HElement> root_;
    std::unique_ptr<HPage> rendered_;  // ctx.page's stand-in while rendering
    std::string scratch_;
    std::vector<std::string> files_;  // the files pieces came from; the template first
    std::vector<Source> sources_;
    unsigned file_ = kNoFile;         // of the pieces appended now
    static constexpr unsigned kNoFile = 0xFFFF;
};

template <class F>
void HElementTree::Render(HContext& ctx, F&& write) {
    SwapPage(ctx);
    try {
        write();
    } catch (...) {
        SwapPage(ctx);
        throw;
    }
    SwapPage(ctx);
    TakeRendered();
}

}  // namespace quorvel
