// HNameMap: the string-keyed map used for the symbol table and for element attributes.
//
// Its iteration order is part of the output (attribute order in written tags, the order
// of the symbol-table listing), so it is fixed: 17 buckets; a key's bucket is h mod 17
// where h starts at 0 and becomes h * 33 + b for each byte b of the key taken as a
// signed 8-bit value, in unsigned 32-bit arithmetic; a new key goes to the front of its
// bucket; iteration visits buckets 0 to 16, each from the front. Keys are compared byte
// for byte (case-sensitive). The map owns its values. An empty map holds no buckets at all
// (one null pointer), since most elements of a page have no attributes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

template <class V>
class HNameMap {
public:
    static constexpr unsigned kBuckets = 17;

    static unsigned BucketOf(std::string_view key) {
        uint32_t h = 0;
        for (char c : key)
            h = h * 33u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
        return h % kBuckets;
    }

    // The value stored under `key`, or nullptr.
    V* Find(std::string_view key) {
        if (!buckets_)
            return nullptr;
        for (Entry& e : (*buckets_)[BucketOf(key)])
            if (e.first == key)
                return &e.second;
        return nullptr;
    }
    const V* Find(std::string_view key) const {
        return const_cast<HNameMap*>(this)->Find(key);
    }

    // The slot for `key`, created (empty) at the front of its bucket when absent.
    // `created` tells which happened.
    V& Slot(std::string_view key, bool* created = nullptr) {
        if (!buckets_)
            buckets_ = std::make_unique<Buckets>();
        auto& chain = (*buckets_)[BucketOf(key)];
        for (Entry& e : chain)
            if (e.first == key) {
                if (created)
                    *created = false;
                return e.second;
            }
        // Chains are stored back to front, so that adding at the front is a push_back.
        chain.emplace_back(std::string(key), V());
        ++size_;
        if (created)
            *created = true;
        return chain.back().second;
    }

    // Calls fn(name, value) for every entry in iteration order.
    template <class F>
    void ForEach(F&& fn) const {
        if (!buckets_)
            return;
        for (const auto& chain : *buckets_)
            for (auto it = chain.rbegin(); it != chain.rend(); ++it)
                fn(it->first, it->second);
    }

    template <class F>
    void ForEach(F&& fn) {
        if (!buckets_)
            return;
        for (auto& chain : *buckets_)
            for (auto it = chain.rbegin(); it != chain.rend(); ++it)
                fn(it->first, it->second);
    }

    size_t Size() const { return size_; }

private:
    using Entry = std::pair<std::string, V>;
    using Buckets = std::array<std::vector<Entry>, kBuckets>;
    std::unique_ptr<Buckets> buckets_;
    size_t size_ = 0;
};
