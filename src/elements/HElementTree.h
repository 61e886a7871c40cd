// HElementTree: the document tree of a template, kept compact and owned in one place. It is
// the one reading of the template grammar: a request reads its template into one, and so do
// the template checker and the element tests.
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
//              of its content; the element records where they end;
//   token      only in a tree that keeps its tokens (the checker's): where a text run, an
//              unknown tag or an end tag starts; it writes nothing.
// A value, attribute, element or token piece also records the file and the byte where it
// starts, so that a failure in writing it can name its place (HExcept::where) and the
// checker can point at it.
// An element with behaviour is an HElement object, with its attributes; its content is the
// range of pieces it read (see HElement::OutputChildren). A tree that keeps its tokens makes
// every tag an element, so that the checker sees each tag with its attributes; what it
// writes is the same.
//
// The tree owns every piece, value and element: destroying it frees them in one go, and a
// process that ends with its request need not destroy it at all. It also notes every file
// its reading looked at, with the stamp of those it read (Sources), so that a process
// serving request after request can write it again, for as long as those files are the
// same, without reading them again: writing changes nothing in the tree, and what a request
// changes lives in its HContext.
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
#include "template/HPage.h"
#include "values/HValue.h"

namespace quorvel {

class HContext;
class HElement;
class HInput;

class HExcept;

class HElementTree {
public:
    static constexpr unsigned kNoFile = 0xFFFF;

    explicit HElementTree(bool keepTokens = false);
    ~HElementTree();
    HElementTree(const HElementTree&) = delete;
    HElementTree& operator=(const HElementTree&) = delete;

    // The number of pieces so far: the index of the next piece.
    size_t Size() const { return size_; }
    bool KeepsTokens() const { return keepTokens_; }
    // Size(), as a bound of an element's content: text appended next starts a new piece.
    size_t Mark() {
        openText_ = nullptr;
        return size_;
    }

    void AppendText(std::string_view text) {
        if (openText_ && text.size() <= static_cast<size_t>(textLimit_ - textEnd_)) {
            CopyBytes(textEnd_, text.data(), text.size());
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
    bool AppendReference(std::string_view name, HText::Sink sink, size_t at = 0);
    // An attribute with references, written as `content` says (see WriteAttribute).
    void AppendAttribute(const std::string& name, HValuePtr value, HText::Sink content, size_t at = 0);
    // An element with behaviour; its content follows as the next pieces.
    void AppendElement(std::unique_ptr<HElement> element, size_t at = 0);
    // Where the token `token` (kTagText, kTagUnknown or an end tag) starts, in a tree that
    // keeps its tokens; nothing otherwise.
    void AppendToken(int token, size_t at) {
        if (keepTokens_)
            NewPiece(Piece::kToken, at).sink = static_cast<uint8_t>(token);
    }

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
    // The files pieces came from, the template first, each included file as it was entered.
    const std::vector<std::string>& Files() const { return files_; }
    // Places a fault met in reading where reading stopped, in `in`, the file being read now
    // (the innermost one: the first to place it), and notes that place in ctx.reading.
    void PlaceReadingFault(HContext& ctx, HExcept& e, const HInput& in) const;

    // A piece as a visitor sees it.
    struct PieceView {
        enum Kind { kText, kValue, kAttribute, kElement, kToken } kind;
        size_t index;
        std::string_view text;            // kText
        const HValue* value = nullptr;    // kValue, kAttribute
        const std::string* name = nullptr;  // kAttribute
        HElement* element = nullptr;      // kElement
        int token = 0;                    // kToken: kTagText, kTagUnknown or an end tag
        size_t end = 0;                   // the index after the piece and its content
        unsigned file = kNoFile;          // the index in Files() (not for kText)
        size_t offset = 0;                // the byte of the file where the piece starts
    };
    // Calls visit(const PieceView&) for each piece of [first, last), in document order.
    // An element whose content was not read to its end holds everything after it.
    template <class F>
    void Visit(size_t first, size_t last, F&& visit) const {
        for (size_t i = first; i < last; ++i)
            visit(View(i));
    }
    PieceView View(size_t i) const;

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
        enum Kind : uint8_t { kText, kValue, kAttribute, kElement, kToken };
        union {
            const char* text;
            const HValue* value;
            const Attribute* attribute;
            HElement* element;
        };
        uint32_t size;  // of a text piece; of another, the byte of its file where it starts
        uint16_t file;  // of a piece other than text: the index of its file in files_
        uint8_t sink;   // of a value or attribute piece: its HText::Sink; of a token, its index
        Kind kind;
    };
    static constexpr size_t kPiecesPerBlock = 4096;
    static constexpr size_t kTextBlock = 64 * 1024;

    Piece& NewPiece(Piece::Kind kind);
    Piece& NewPiece(Piece::Kind kind, size_t at);
    std::string Where(const Piece& piece) const;
    void AppendTextSlow(std::string_view text);
    // The value of references_ for `name`, or nullptr (kept apart from AppendReference, which
    // mostly finds its value in recent_).
    [[gnu::noinline]] const HValue* FindReference(std::string_view name) const;
    const Piece& At(size_t i) const { return pieceBlocks_[i / kPiecesPerBlock][i % kPiecesPerBlock]; }

    std::vector<std::unique_ptr<Piece[]>> pieceBlocks_;
    size_t size_ = 0;
    Piece* openText_ = nullptr;  // the last piece while it is text, to grow it

    std::vector<std::unique_ptr<char[]>> textBlocks_;
    char* textEnd_ = nullptr;    // free space of the last text block
    char* textLimit_ = nullptr;

    std::unordered_map<std::string, HValuePtr> references_;  // `@name`, one per name
    // Values of references_ met lately, by a cheap hash of their name (RecentSlot): most
    // `@name`s of a page are found there, without hashing and copying the whole name.
    static constexpr size_t kRecent = 16;
    const HValue* recent_[kRecent] = {};
    std::vector<HValuePtr> values_;                          // other at-sign expressions
    std::deque<Attribute> attributes_;
    std::vector<std::unique_ptr<HElement>> elements_;
    std::string scratch_;
    std::vector<std::string> files_;  // the files pieces came from; the template first
    std::vector<Source> sources_;
    unsigned file_ = kNoFile;         // of the pieces appended now
    bool keepTokens_;
};

}  // namespace quorvel
