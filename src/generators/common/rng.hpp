// The standard random generator: ChaCha12 (64-bit block counter, 64-bit nonce 0),
// its keystream read as little-endian 32-bit words, four blocks per refill.
#pragma once
#include <array>
#include <cstdint>
#include <optional>

namespace porosa {

class Rng {
public:
    explicit Rng(const std::array<std::uint32_t, 8>& key) noexcept;

    std::uint32_t next_u32() noexcept;
    // Low half first, then high half.
    std::uint64_t next_u64() noexcept;
    // The top 53 bits of a double word, scaled into [0, 1).
    double uniform_float() noexcept;
    // Uniform in [0, n); an empty range (n == 0) is the internal failure
    // "cannot sample empty range". Ranges below 2^32 use 32-bit arithmetic.
    std::uint64_t index_below(std::uint64_t n);
    // Uniform in [a, b]; the full range of the word is the next double word itself.
    std::uint64_t uniform(std::uint64_t a, std::uint64_t b);

private:
    void refill() noexcept;

    std::array<std::uint32_t, 8> key_;
    std::uint64_t counter_ = 0;
    std::array<std::uint32_t, 64> buf_{};
    unsigned pos_ = 64;  // empty: the first draw produces blocks 0 to 3
};

// The PCG32 expansion of a 64-bit value into a key, then a fresh generator.
Rng rng_from_u64(std::uint64_t seed) noexcept;

// The instance generator: from the seed, or from the per-thread entropy-seeded
// generator when there is none.
Rng build_rng(std::optional<std::uint64_t> seed);

}  // namespace porosa
