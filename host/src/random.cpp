// Host random number operations: the 48-bit linear congruential generator
// x' = (0x5DEECE66D * x + 0xB) mod 2^48, returning x' / 2^48 in [0, 1).
// xr_random/xr_srandom share one host-wide state (seeded like srand48:
// high 32 bits from the seed, low 16 bits 0x330E); xr_erandom advances the
// caller's own state, three 16-bit words low first.
#include <cstdint>
#include <mutex>

#include "xr.h"

namespace {

constexpr uint64_t kMultiplier = 0x5DEECE66DULL;
constexpr uint64_t kIncrement = 0xB;
constexpr uint64_t kMask = (uint64_t{1} << 48) - 1;

inline uint64_t step(uint64_t x) { return (kMultiplier * x + kIncrement) & kMask; }
inline double toUnit(uint64_t x) { return static_cast<double>(x) * 0x1.0p-48; }

std::mutex g_mutex;
uint64_t g_state = 0x330E;  // as seeded with 0

}  // namespace

extern "C" {

double xr_random(void) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state = step(g_state);
    return toUnit(g_state);
}

void xr_srandom(long seed) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state = (static_cast<uint64_t>(static_cast<uint32_t>(seed)) << 16) | 0x330E;
}

double xr_erandom(unsigned short seed[3]) {
    if (!seed) return 0.0;
    uint64_t x = uint64_t{seed[0]} | uint64_t{seed[1]} << 16 | uint64_t{seed[2]} << 32;
    x = step(x);
    seed[0] = static_cast<unsigned short>(x);
    seed[1] = static_cast<unsigned short>(x >> 16);
    seed[2] = static_cast<unsigned short>(x >> 32);
    return toUnit(x);
}

}  // extern "C"
