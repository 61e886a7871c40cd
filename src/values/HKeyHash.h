// HKeyHash: the hash of the name index of HNameMap.
//
// Names come from the request, so their hash must not be predictable: SipHash-1-3 under a
// key drawn at random once per process. A visitor who cannot know the key cannot choose
// names that collide, whatever the number of names.
#pragma once

#include <cstddef>
#include <string_view>

namespace quorvel {

struct HKeyHash {
    size_t operator()(std::string_view key) const;
};

}  // namespace quorvel
