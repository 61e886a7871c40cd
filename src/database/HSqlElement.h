// HSqlElement: `<SQL NAME=... TEXT=...>` defines a named SQL operation; it never runs one.
//
// When written, the element evaluates its TEXT, analyses it, chooses a connection (its own
// CONNECT, else the context's shared one, else one opened from `_CONNECT_`), allocates a
// statement handle and stores the HSqlOperation in the symbol table under its NAME. A page
// request defines only queries (SELECT), a post-process request only actions (INSERT, UPDATE,
// DELETE); any other SQL element is skipped without touching a database. It writes nothing.
#pragma once

#include "database/HOdbc.h"
#include "elements/HElement.h"

namespace quorvel {

class HSqlElement : public HElement {
public:
    HSqlElement();
    void Output(HContext& ctx) override;

private:
    // The connection the element's CONNECT opened, kept for the request: written again (in a
    // later row of a DBRESULT), the element runs on it instead of opening one per row. Valid
    // while ConnectionGeneration() is `generation_`.
    HOdbcHandle ownHenv_ = nullptr;
    HOdbcHandle ownHdbc_ = nullptr;
    unsigned long generation_ = 0;
};

}  // namespace quorvel
