// HResultSet: a set of named columns whose current row is in scope for references.
//
// An open query result (the SQL operation a DBRESULT element is repeating) implements it;
// the processing context keeps the open ones in `scopes`, and a variable reference asks
// them, innermost first, before it looks at the symbol table.
#pragma once

#include <string_view>

namespace quorvel {

class HResultSet {
public:
    virtual ~HResultSet() = default;
    // The current row's text of the column whose name equals `name` ignoring letter
    // case, or nullptr when the set has no such column. The text stays valid until the
    // next fetch.
    virtual const char* FindColumn(std::string_view name) const = 0;
};

}  // namespace quorvel
