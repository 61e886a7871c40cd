// HSymbolTable: the request's variables, name to value object.
//
// Holds the configuration settings, the built-in CGI variables, the submitted form fields
// and the SQL operations defined while the page is written. It owns every value given to
// Define; a value given to DefineKept (a setting of a configuration a persistent process
// keeps parsed) is its keeper's and only read. A value replaced by a later definition of
// the same name is kept alive until the table is destroyed, because an element may still
// be using it (a running query redefined inside its own result body). Enumeration order is
// that of HNameMap.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "values/HNameMap.h"
#include "values/HValue.h"

namespace quorvel {

class HSymbolTable {
public:
    HSymbolTable();
    ~HSymbolTable();
    HSymbolTable(const HSymbolTable&) = delete;
    HSymbolTable& operator=(const HSymbolTable&) = delete;

    // Binds `name` to `value`, replacing an earlier binding. A null `value` leaves the name
    // undefined (Remove).
    void Define(const std::string& name, std::unique_ptr<HValue> value);
    // Binds `name` to a value owned elsewhere, which outlives the table and is never changed
    // through it.
    void DefineKept(const std::string& name, HValue* value) { map_.Slot(name) = value; }
    // Makes `name` undefined again, in constant time: its entry stays, bound to nothing.
    void Remove(const std::string& name) { Define(name, nullptr); }
    // The value bound to `name`, or nullptr when absent.
    HValue* Lookup(std::string_view name) const;
    // The same, going straight to the name's slot when `hint` is of this table, and leaving
    // there a hint to the slot when the name is found (a reference looked up on every row
    // of a page keeps one).
    HValue* Lookup(std::string_view name, HLookupHint& hint) const;
    bool Contains(std::string_view name) const { return Lookup(name) != nullptr; }

    // fn(name, const HValue* value) for every defined name, in enumeration order.
    template <class F>
    void ForEach(F&& fn) const {
        map_.ForEach([&](const std::string& n, HValue* v) {
            if (v)
                fn(n, static_cast<const HValue*>(v));
        });
    }

private:
    HNameMap<HValue*> map_;
    std::vector<std::unique_ptr<HValue>> owned_;
    const uint64_t number_;  // of this table, for HLookupHint
};

}  // namespace quorvel
