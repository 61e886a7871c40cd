// The tag scanner: reads the context's input stream into the tree, token by token.
//
// A token is a start tag, an end tag, a run of text, an at-sign expression, or the end of
// input; its value is the tag-table index. Text runs, unknown tags and at-sign expressions
// become pieces of the tree as they are read; the scanner returns at the first start or end
// tag. It reads only a tag's name: the attribute list and the `>` stay in the stream for the
// element. It notes in ctx.reading the tag or at-sign expression it read last.
#pragma once

#include <memory>
#include <string_view>

namespace quorvel {

class HContext;
class HElement;
class HElementTree;

// Reads the start of a template: blanks, tabs and newlines; a document type declaration
// (`<!DOCTYPE html>`) and the blanks after it, when one stands there, into `tree` as text
// with a line end after it; then the first token, whose index is returned (a template is
// read only when it is <HTML>): for a start tag `slot` holds its element as ScanInto makes
// it; -1 stands for an at-sign expression; for an unknown tag its text (the name
// upper-cased) is left in tree.Scratch(). Nothing of the first token is read into the tree.
int ScanDocumentStart(HContext& ctx, HElementTree& tree, std::unique_ptr<HElement>& slot);
// Reads tokens into the tree: text runs, unknown tags and at-sign expressions become pieces
// of `tree` as they are read. Returns at the first start tag, end tag or the end of input;
// for a start tag `slot` holds the element only when the tag has behaviour of its own or the
// tree keeps its tokens (null otherwise, and for an end tag).
int ScanInto(HContext& ctx, HElementTree& tree, std::unique_ptr<HElement>& slot);

// Reads the end tag `token`, whose name has been read, as text: an end tag that closes no
// open element is written where it stands, as an unknown tag would be. The token after it
// is read and returned as ScanInto does.
int PassEndTag(HContext& ctx, int token, std::unique_ptr<HElement>& slot);

// Notes a tag outside the table, `name` (upper case) and the rest up to its `>`: SCRIPT and
// STYLE begin content whose at-sign expressions are written as script or style sheet
// (ctx.content), up to their end tag (inside one, the other's tags are its text). A `>`
// inside a quoted value does not end the tag for a browser: the text after it, up to the
// tag's real end, is the tag's (ctx.openTag), where data could be code
// (`<BUTTON ONCLICK="if (a > b) go('@Q')">`).
void NoteUnknownTag(HContext& ctx, std::string_view name, std::string_view rest);
// Reads `text` as the rest of such an open tag; at its end (a `>` outside a quoted value)
// the content is again what it was outside the tag.
void FeedOpenTag(HContext& ctx, std::string_view text);

// Consumes the rest of an end tag after its name: blanks, tabs and newlines, then `>`.
// Raises error 10 when anything else follows the name.
void CloseEndTag(HContext& ctx);

}  // namespace quorvel
