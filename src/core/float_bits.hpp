// The conversions of doubles that seeded results depend on to the bit: the
// total-order keys, their inverses, and the float-to-count conversion. Every
// user takes them from here, so no copy can drift.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace porosa {

// IEEE 754 totalOrder as a signed word: -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
inline std::int64_t total_key(double x) noexcept {
    std::int64_t k;
    std::memcpy(&k, &x, sizeof k);
    return k < 0 ? k ^ std::int64_t(0x7FFFFFFFFFFFFFFF) : k;
}

// The flip keeps the sign bit, so it is its own inverse.
inline double from_total_key(std::int64_t k) noexcept {
    const std::int64_t bits = k < 0 ? k ^ std::int64_t(0x7FFFFFFFFFFFFFFF) : k;
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// total_key with the sign bit flipped: unsigned comparison is the total order.
inline std::uint64_t order_key(double x) noexcept {
    return static_cast<std::uint64_t>(total_key(x)) ^ 0x8000000000000000ull;
}

inline double from_order_key(std::uint64_t u) noexcept {
    return from_total_key(static_cast<std::int64_t>(u ^ 0x8000000000000000ull));
}

// The float-to-count conversion: NaN and non-positive values give 0, values at
// or past the word's range the largest word, the rest truncate toward zero.
inline std::size_t saturating_count(double x) noexcept {
    if (!(x > 0.0)) return 0;
    // One past the largest word is a power of two, exact as a double.
    constexpr double limit = double(std::numeric_limits<std::size_t>::max()) + 1.0;
    if (x >= limit) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(x);
}

}  // namespace porosa
