// HDbResultElement: `<DBRESULT QUERY=name PARAM=(...) MAXROWS=n> body </DBRESULT>` runs a
// query defined earlier by an SQL element and writes its body once per fetched row.
//
// While a row is current the query is the innermost open result set, so references in the
// body find its columns (then those of enclosing DBRESULTs, then variables), and the name
// modifier carries the row number (`___2`, nested `___2___3`). At most MAXROWS rows (1..100,
// default 100) reach the page whatever the driver does with its row limit; NULL values read
// as empty and values are cut to `_MAX_COLUMN_WIDTH_` - 1 bytes. The element writes no markup of its own;
// in a post-process request it visits its body once without running the query, with the
// name modifier one first-row group deeper, so that a form inside knows its row levels.
#pragma once

#include "elements/HElement.h"

namespace quorvel {

class HDbResultElement : public HElement {
public:
    HDbResultElement();
    void Output(HContext& ctx) override;

    static constexpr int kMaxRows = 100;
};

}  // namespace quorvel
