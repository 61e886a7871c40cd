// HNameMap: the string-keyed map used for the symbol table and for element attributes.
//
// Its iteration order is part of the output (attribute order in written tags, the order
// of the symbol-table listing), so it is fixed: 17 buckets; a key's bucket is h mod 17
// where h starts at 0 and becomes h * 33 + b for each byte b of the key taken as a
// signed 8-bit value, in unsigned 32-bit arithmetic; a new key goes to the front of its
// bucket; iteration visits buckets 0 to 16, each from the front. Keys are compared byte
// for byte (case-sensitive). The map owns its values.
//
// The 17 ordered chains only give the order. Names come from the request and anyone can
// choose names that share a chain, so once the map holds more than a few entries a hashed
// index (HKeyHash) finds them: defining or finding a key costs the same however many are
// defined. An empty map holds nothing at all (one null pointer), since most elements of a
// page have no attributes, and a small one has no index.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "values/HKeyHash.h"

namespace quorvel {

template <class V>
class HNameMap {
public:
    static constexpr unsigned kBuckets = 17;
    // Up to this many entries a key is searched along its chain; beyond, in the index. A
    // request's table holds some 30 names (the built-in variables, the configuration, a few
    // parameters), and walking chains of a few names costs less than one keyed hash; the
    // bound keeps a walk short however the names collide.
    static constexpr size_t kScanLimit = 64;

    static unsigned BucketOf(std::string_view key) {
        uint32_t h = 0;
        for (char c : key)
            h = h * 33u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
        return h % kBuckets;
    }

    // The value stored under `key`, or nullptr.
    V* Find(std::string_view key) {
        Node* node = table_ ? table_->Find(key) : nullptr;
        return node ? &node->value : nullptr;
    }
    const V* Find(std::string_view key) const {
        return const_cast<HNameMap*>(this)->Find(key);
    }

    // The slot for `key`, created (empty) at the front of its bucket when absent.
    // `created` tells which happened. The slot stays where it is while the map lives.
    V& Slot(std::string_view key, bool* created = nullptr) {
        if (!table_)
            table_ = std::make_unique<Table>();
        Node* node = table_->Find(key);
        if (created)
            *created = node == nullptr;
        if (!node)
            node = table_->Add(key);
        return node->value;
    }

    // Calls fn(name, value) for every entry in iteration order.
    template <class F>
    void ForEach(F&& fn) const {
        if (!table_)
            return;
        for (const auto& head : table_->heads)
            for (const Node* n = head.get(); n; n = n->next.get())
                fn(n->key, n->value);
    }

    template <class F>
    void ForEach(F&& fn) {
        if (!table_)
            return;
        for (auto& head : table_->heads)
            for (Node* n = head.get(); n; n = n->next.get())
                fn(n->key, n->value);
    }

    size_t Size() const { return table_ ? table_->size : 0; }

private:
    struct Node {
        std::string key;
        V value;
        std::unique_ptr<Node> next;
    };
    struct Table {
        std::array<std::unique_ptr<Node>, kBuckets> heads;  // each node owns the rest of its chain
        size_t size = 0;
        std::unordered_map<std::string_view, Node*, HKeyHash> index;  // past kScanLimit

        Table() = default;
        Table(const Table&) = delete;
        Table& operator=(const Table&) = delete;
        ~Table() {
            // Chain by chain, node by node: a chain of any length is freed without recursion.
            for (auto& head : heads)
                for (std::unique_ptr<Node> n = std::move(head); n;)
                    n = std::move(n->next);
        }
        Node* Find(std::string_view key) {
            if (size > kScanLimit) {
                auto it = index.find(key);
                return it == index.end() ? nullptr : it->second;
            }
            for (Node* n = heads[BucketOf(key)].get(); n; n = n->next.get())
                if (n->key == key)
                    return n;
            return nullptr;
        }
        Node* Add(std::string_view key) {
            std::unique_ptr<Node>& head = heads[BucketOf(key)];
            head.reset(new Node{std::string(key), V(), std::move(head)});
            Node* node = head.get();
            if (++size == kScanLimit + 1) {
                index.reserve(2 * size);
                for (auto& h : heads)
                    for (Node* n = h.get(); n; n = n->next.get())
                        index.emplace(n->key, n);
            } else if (size > kScanLimit) {
                index.emplace(node->key, node);
            }
            return node;
        }
    };
    std::unique_ptr<Table> table_;
};

}  // namespace quorvel
