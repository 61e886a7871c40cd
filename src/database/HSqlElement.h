// HSqlElement: `<SQL NAME=... TEXT=...>` defines a named SQL operation; it never runs one.
//
// When written, the element evaluates its TEXT, analyses it, chooses a connection (its own
// CONNECT, else the request's shared one; HConnections::Select), allocates a
// statement handle and stores the HSqlOperation in the symbol table under its NAME. A page
// request defines only queries (SELECT), a post-process request only actions (INSERT, UPDATE,
// DELETE); any other SQL element is skipped without touching a database. It writes nothing.
#pragma once

#include "elements/HElement.h"

namespace quorvel {

class HSqlElement : public HElement {
public:
    HSqlElement();
    void Output(HContext& ctx) override;
};

}  // namespace quorvel
