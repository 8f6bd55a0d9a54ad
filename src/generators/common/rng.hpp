// The standard random generator: ChaCha12 (64-bit block counter, 64-bit nonce 0),
// its keystream read as little-endian 32-bit words.
//
// The draws are inline because hot loops make a handful of them per step; only
// the refill, one batch of blocks by the widest instruction set available, is a
// call. A refill changes how many blocks are ready, never the words drawn.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace porosa {

class Rng {
public:
    // Computes nothing: a generator read for a few words (one per blob, say)
    // pays for one batch of blocks at its first draw, none before.
    explicit Rng(const std::array<std::uint32_t, 8>& key) noexcept : key_(key) {}
    // Copies carry the unread words only; the rest of the buffer may never have
    // been written.
    Rng(const Rng& other) noexcept;
    Rng& operator=(const Rng& other) noexcept;

    std::uint32_t next_u32() noexcept {
        if (pos_ >= kWords) [[unlikely]] refill();
        return buf_[pos_++];
    }

    // A double word from two words of the stream: low half first, then high half.
    static std::uint64_t double_word(std::uint32_t lo, std::uint32_t hi) noexcept {
        return std::uint64_t(lo) | (std::uint64_t(hi) << 32);
    }
    std::uint64_t next_u64() noexcept {
        if (pos_ + 2 <= kWords) [[likely]] {
            const std::uint32_t lo = buf_[pos_], hi = buf_[pos_ + 1];
            pos_ += 2;
            return double_word(lo, hi);
        }
        // A pair straddling a refill, in stream order.
        const std::uint32_t lo = next_u32();
        const std::uint32_t hi = next_u32();
        return double_word(lo, hi);
    }

    // The top 53 bits of a double word, scaled into [0, 1).
    static double uniform_from(std::uint64_t word) noexcept { return double(word >> 11) * 0x1.0p-53; }
    double uniform_float() noexcept { return uniform_from(next_u64()); }

    // Uniform in [0, n); an empty range (n == 0) is the internal failure
    // "cannot sample empty range". Ranges below 2^32 use 32-bit arithmetic.
    std::uint64_t index_below(std::uint64_t n) {
        // One test sends both n == 0 and n >= 2^32 out of line.
        if (n - 1 >= 0xFFFFFFFFull) [[unlikely]] return index_below_wide(n);
        // Small ranges always take the 32-bit path, whatever the platform word,
        // so that seeded streams agree everywhere.
        const std::uint64_t m = std::uint64_t(next_u32()) * n;
        std::uint32_t hi = std::uint32_t(m >> 32);
        const std::uint32_t lo = std::uint32_t(m);
        if (std::uint64_t(lo) > (std::uint64_t(1) << 32) - n) [[unlikely]] {
            const std::uint32_t hi2 = std::uint32_t((std::uint64_t(next_u32()) * n) >> 32);
            if (std::uint32_t(lo + hi2) < lo) hi += 1;
        }
        return hi;
    }

    // Uniform in [a, b]; the full range of the word is the next double word itself.
    std::uint64_t uniform(std::uint64_t a, std::uint64_t b) {
        const std::uint64_t span = b - a + 1;
        if (span == 0) return next_u64();  // the whole word
        return a + index_below(span);
    }

    // The words buffered ahead of the stream position, refilling first when
    // there are none; skip(k) then draws the first k of them (k <= size). For
    // loops that read the words of several draws at once, with one bounds test.
    std::span<const std::uint32_t> peek() noexcept {
        if (pos_ >= kWords) [[unlikely]] refill();
        return {buf_ + pos_, kWords - pos_};
    }
    void skip(unsigned k) noexcept { pos_ += k; }

    // The next out.size() words of the stream, as that many next_u32 calls
    // would give them; whole blocks past the buffered words go straight to out.
    void fill(std::span<std::uint32_t> out) noexcept;

    // Moves the stream position `words` ahead, as that many next_u32 calls
    // would, computing at most the block the new position falls in: for
    // callers that had the words computed elsewhere (chacha12_keystream).
    void discard(std::uint64_t words) noexcept;

    // Words drawn from this generator so far, by any of the calls above.
    std::uint64_t words_used() const noexcept { return counter_ * 16 - (kWords - pos_); }
    const std::array<std::uint32_t, 8>& key() const noexcept { return key_; }

private:
    static constexpr unsigned kBlocks = 16;
    static constexpr unsigned kWords = 16 * kBlocks;

    void refill() noexcept;
    std::uint64_t index_below_wide(std::uint64_t n);

    // Words buf_[pos_, kWords) are the next of the stream; a refill writes its
    // blocks at the end of the buffer, so the test for more is against a constant.
    unsigned pos_ = kWords;
    std::uint64_t counter_ = 0;  // the next block to compute
    std::array<std::uint32_t, 8> key_;
    alignas(64) std::uint32_t buf_[kWords];
};

// Words [16 * first_block, 16 * first_block + out.size()) of the keystream of
// `key`, by the fastest path: what a generator with that key gives from that
// block on, without the generator.
void chacha12_keystream(const std::array<std::uint32_t, 8>& key, std::uint64_t first_block,
                        std::span<std::uint32_t> out) noexcept;

// The PCG32 expansion of a 64-bit value into a key, then a fresh generator.
Rng rng_from_u64(std::uint64_t seed) noexcept;

// The instance generator: from the seed, or from the per-thread entropy-seeded
// generator when there is none.
Rng build_rng(std::optional<std::uint64_t> seed);

}  // namespace porosa
