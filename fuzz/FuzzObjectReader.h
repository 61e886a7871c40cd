// The template oracle's model of the reader: a template read into a tree of objects, one per
// token, and written by walking them, as the gateway read templates before its compact tree.
// It is written apart from the tree's reader (text runs, unknown tags, at-sign expressions,
// tags without behaviour, end tags that close nothing, implicit ends, the document start),
// so that the fuzz target can require both to write the same page and fail alike. An
// element with behaviour is read and written by the real element, in a tree of its own:
// the model covers the grammar around such elements, not their work.
#pragma once

#include <memory>
#include <string>

namespace quorvel {
class HContext;
}

namespace fuzzmodel {

class Node {
public:
    virtual ~Node() = default;
    virtual void Output(quorvel::HContext& ctx) const = 0;
    // Whether it or a node in it is a FUNCTION element (which may write in post-process mode).
    virtual bool HasFunction() const { return false; }
};

// Reads the template from ctx.input as a request does: blanks, an optional document type,
// then <HTML> and its content. Returns null when the first token is not <HTML>; reading
// faults are raised as the gateway raises them.
std::unique_ptr<Node> ReadTemplate(quorvel::HContext& ctx);

}  // namespace fuzzmodel
