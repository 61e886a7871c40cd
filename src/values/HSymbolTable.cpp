#include "values/HSymbolTable.h"

namespace quorvel {

namespace {
uint64_t tables = 0;  // tables made by this process so far
}

HSymbolTable::HSymbolTable() : number_(++tables) {}

HSymbolTable::~HSymbolTable() = default;

void HSymbolTable::Define(const std::string& name, std::unique_ptr<HValue> value) {
    bool created = false;
    std::unique_ptr<HValue>& slot = map_.Slot(name, &created);
    if (!created && slot)
        replaced_.push_back(std::move(slot));
    slot = std::move(value);
}

HValue* HSymbolTable::Lookup(std::string_view name) const {
    const std::unique_ptr<HValue>* slot = map_.Find(name);
    return slot ? slot->get() : nullptr;
}

HValue* HSymbolTable::Lookup(std::string_view name, HLookupHint& hint) const {
    if (hint.table != number_) {
        const std::unique_ptr<HValue>* slot = map_.Find(name);
        if (!slot)
            return nullptr;
        hint = HLookupHint{number_, slot};
    }
    return hint.slot->get();
}

}  // namespace quorvel
