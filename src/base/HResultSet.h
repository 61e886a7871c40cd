// HResultSet: a set of named columns whose current row is in scope for references.
//
// An open query result (the SQL operation a DBRESULT element is repeating) implements it;
// the processing context keeps the open ones in `scopes`, and a variable reference asks
// them, innermost first, before it looks at the symbol table.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorvel {

// Where a reference last found its column: the key of the set with its column names and
// buffers at the time (see HResultSet::FindColumn), and the column's text buffer.
struct HColumnHint {
    uint64_t key = 0;
    const char* text = nullptr;
};

class HResultSet {
public:
    virtual ~HResultSet() = default;
    // The current row's text of the column whose name equals `name` ignoring letter
    // case, or nullptr when the set has no such column. The text stays valid until the
    // next fetch.
    virtual const char* FindColumn(std::string_view name) const = 0;
    // The same, going straight to the column `hint` names when it was left by this set
    // with the column names and buffers it has now (a key no other set and no other names
    // or buffers of this one ever had), and leaving such a hint when the name is found: a
    // reference written on every row compares names once per run.
    virtual const char* FindColumn(std::string_view name, HColumnHint& hint) const = 0;
};

}  // namespace quorvel
