// The generator behind the random devices, shared with what drives them: splitmix64, small,
// fast, and the same sequence in both widths, so a seed replays the same run in either.
#pragma once
#include <cstddef>
#include <cstdint>

class SimRng {
public:
    explicit SimRng(uint64_t seed = 0) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t Below(uint32_t n) { return n ? static_cast<uint32_t>(Next() % n) : 0; }
    uint32_t Between(uint32_t low, uint32_t high) { return low + Below(high - low + 1); }
    bool Percent(uint32_t p) { return Below(100) < p; }
    template <class T, size_t N>
    T Pick(const T (&items)[N]) {
        return items[Below(static_cast<uint32_t>(N))];
    }

private:
    uint64_t state_;
};
