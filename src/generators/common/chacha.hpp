// The ChaCha12 block function of the instance generator, by instruction set.
// Internal: Rng draws through whichever path is active; tests and benchmarks
// compare the paths through this header. Every path writes the same words.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace porosa::chacha {

using Key = std::array<std::uint32_t, 8>;

// Blocks counter, counter + 1, ..., counter + n - 1 (64-bit counter, nonce 0,
// wrapping modulo 2^64), 16 words each, into out.
using BlocksFn = void (*)(const std::uint32_t* key, std::uint64_t counter, std::size_t n, std::uint32_t* out) noexcept;

enum class Path { scalar, avx2, avx512 };

struct Kernel {
    BlocksFn blocks;
    unsigned batch;  // blocks computed together; fewer cost as much
    Path path;
    const char* name;
};

// Whether this build and this processor can run the path.
bool supported(Path path) noexcept;
// The widest supported path.
Path fastest() noexcept;
// The kernel of a supported path.
const Kernel& kernel(Path path) noexcept;
// The kernel generators refill with: the fastest one unless another was chosen.
const Kernel& active() noexcept;
// Makes every generator refill through `path` (which must be supported) and
// returns the previous choice, so that a benchmark or test can time or check
// the generator itself on each path. Not meant to change while draws run.
Path use(Path path) noexcept;

// The twelve rounds on a state of sixteen words, or of sixteen registers of
// one word per block: `quarter` is the quarter round of that width. Always
// inlined, so that each instruction set's copy is compiled for its own target
// and takes in its own quarter round.
template <class Word, class Quarter>
[[gnu::always_inline]] inline void twelve_rounds(Word* x, Quarter quarter) noexcept {
    for (int round = 0; round < 6; ++round) {
        quarter(x[0], x[4], x[8], x[12]);
        quarter(x[1], x[5], x[9], x[13]);
        quarter(x[2], x[6], x[10], x[14]);
        quarter(x[3], x[7], x[11], x[15]);
        quarter(x[0], x[5], x[10], x[15]);
        quarter(x[1], x[6], x[11], x[12]);
        quarter(x[2], x[7], x[8], x[13]);
        quarter(x[3], x[4], x[9], x[14]);
    }
}

// Blocks counter .. counter + n - 1 through batch(key, counter, take, out),
// at most `Width` at a time.
template <std::size_t Width, class Batch>
[[gnu::always_inline]] inline void in_batches(const std::uint32_t* key, std::uint64_t counter, std::size_t n,
                                              std::uint32_t* out, Batch batch) noexcept {
    while (n > 0) {
        const std::size_t take = n < Width ? n : Width;
        batch(key, counter, take, out);
        counter += take;
        out += 16 * take;
        n -= take;
    }
}

void blocks_scalar(const std::uint32_t* key, std::uint64_t counter, std::size_t n, std::uint32_t* out) noexcept;
#if defined(__x86_64__) || defined(__i386__)
void blocks_avx2(const std::uint32_t* key, std::uint64_t counter, std::size_t n, std::uint32_t* out) noexcept;
void blocks_avx512(const std::uint32_t* key, std::uint64_t counter, std::size_t n, std::uint32_t* out) noexcept;
#endif

}  // namespace porosa::chacha
