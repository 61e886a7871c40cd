#include "values/HSymbolTable.h"

namespace quorvel {

namespace {
uint64_t tables = 0;  // tables made by this process so far
}

// A request's variables, mostly, in one allocation.
HSymbolTable::HSymbolTable() : number_(++tables) { owned_.reserve(64); }

HSymbolTable::~HSymbolTable() = default;

void HSymbolTable::Define(const std::string& name, std::unique_ptr<HValue> value) {
    map_.Slot(name) = value.get();
    if (value)
        owned_.push_back(std::move(value));
}

HValue* HSymbolTable::Lookup(std::string_view name) const {
    HValue* const* slot = map_.Find(name);
    return slot ? *slot : nullptr;
}

HValue* HSymbolTable::Lookup(std::string_view name, HLookupHint& hint) const {
    if (hint.table != number_) {
        HValue* const* slot = map_.Find(name);
        if (!slot)
            return nullptr;
        hint = HLookupHint{number_, slot};
    }
    return *hint.slot;
}

}  // namespace quorvel
