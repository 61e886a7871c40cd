#include "values/HSymbolTable.h"

namespace quorvel {

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

}  // namespace quorvel
