#include "values/HKeyHash.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <sys/random.h>
#include <unistd.h>

namespace quorvel {

namespace {

struct Key {
    uint64_t k0, k1;
};

Key RandomKey() {
    Key key{};
    if (::getrandom(&key, sizeof key, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof key)) {
        // Without the kernel's randomness (a very early boot), the clock and the process id
        // still make the key different for every request.
        key.k0 = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        key.k1 = (static_cast<uint64_t>(::getpid()) << 32) ^ reinterpret_cast<uintptr_t>(&key);
    }
    return key;
}

inline uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct State {
    uint64_t v0, v1, v2, v3;
    void Round() {
        v0 += v1; v1 = Rotl(v1, 13); v1 ^= v0; v0 = Rotl(v0, 32);
        v2 += v3; v3 = Rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = Rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = Rotl(v1, 17); v1 ^= v2; v2 = Rotl(v2, 32);
    }
    void Absorb(uint64_t m) {
        v3 ^= m;
        Round();
        v0 ^= m;
    }
};

}  // namespace

size_t HKeyHash::operator()(std::string_view data) const {
    static const Key key = RandomKey();
    State s{key.k0 ^ 0x736f6d6570736575ull, key.k1 ^ 0x646f72616e646f6dull,
            key.k0 ^ 0x6c7967656e657261ull, key.k1 ^ 0x7465646279746573ull};
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data.data());
    size_t n = data.size();
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t m = 0;
        for (int i = 7; i >= 0; --i)
            m = (m << 8) | p[i];
        s.Absorb(m);
    }
    uint64_t last = static_cast<uint64_t>(data.size()) << 56;
    for (size_t i = 0; i < n; ++i)
        last |= static_cast<uint64_t>(p[i]) << (8 * i);
    s.Absorb(last);
    s.v2 ^= 0xff;
    s.Round();
    s.Round();
    s.Round();
    return static_cast<size_t>(s.v0 ^ s.v1 ^ s.v2 ^ s.v3);
}

}  // namespace quorvel
