// The tag scanner: turns the context's input stream into tokens, one per call.
//
// A token is a start tag, an end tag, a run of text, an at-sign expression, or the end of
// input; its value is the tag-table index. For start tags, text runs and at-sign
// expressions the scanner creates the element that represents the token. It reads only
// the tag name: the attribute list and the `>` stay in the stream for the element.
#pragma once

#include <memory>

namespace quorvel {

class HContext;
class HElement;
class HElementTree;

// Reads the next token from ctx.input and returns its index. For a text run (2), an
// unknown tag (3), an at-sign expression (15) and a start tag (4..56) the new element is
// stored in `slot` (the caller owns it); for an end tag (57..91) `slot` is reset; at the
// end of input (0) `slot` is left unchanged.
int Scan(HContext& ctx, std::unique_ptr<HElement>& slot);

// Reads the start of a template: blanks, tabs and newlines; a document type declaration
// (`<!DOCTYPE html>`) and the blanks after it, when one stands there, into `doctype`; then
// the first token, whose index is returned, as Scan does (a template is read only when it
// is <HTML>).
int ScanDocumentStart(HContext& ctx, std::unique_ptr<HElement>& doctype,
                      std::unique_ptr<HElement>& first);
// Reads tokens into a request's compact tree: text runs, unknown tags and at-sign
// expressions become pieces of `tree` as they are read. Returns at the first start tag,
// end tag or the end of input, like Scan; for a start tag `slot` holds the element only
// when the tag has behaviour of its own (null otherwise, and for an end tag). A request
// has no read observer, so none is told.
int ScanInto(HContext& ctx, HElementTree& tree, std::unique_ptr<HElement>& slot);

// Reads the end tag `token`, whose name has been read, as text: an end tag that closes no
// open element is written where it stands, as an unknown tag would be. Into a request's
// tree it becomes text, and the token after it is read and returned as ScanInto does;
// otherwise `slot` holds its HUnknownTagElement (the `>` left for its Parse, the observer
// told of it) and kTagUnknown is returned.
int PassEndTag(HContext& ctx, int token, std::unique_ptr<HElement>& slot);

// Consumes the rest of an end tag after its name: blanks, tabs and newlines, then `>`.
// Raises error 10 when anything else follows the name.
void CloseEndTag(HContext& ctx);

}  // namespace quorvel
