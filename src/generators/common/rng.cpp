#include "generators/common/rng.hpp"

#include <bit>
#include <cerrno>
#include <random>

#include <sys/random.h>

#include "core/panic.hpp"

namespace porosa {

namespace {

// "expand 32-byte k" as little-endian words.
constexpr std::uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

inline void quarter(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d) noexcept {
    a += b; d ^= a; d = std::rotl(d, 16);
    c += d; b ^= c; b = std::rotl(b, 12);
    a += b; d ^= a; d = std::rotl(d, 8);
    c += d; b ^= c; b = std::rotl(b, 7);
}

void chacha12_block(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::uint32_t* out) noexcept {
    std::uint32_t in[16] = {
        kSigma[0], kSigma[1], kSigma[2], kSigma[3],
        key[0], key[1], key[2], key[3], key[4], key[5], key[6], key[7],
        std::uint32_t(counter), std::uint32_t(counter >> 32),
        0u, 0u,  // the nonce is always zero
    };
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = in[i];
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
    for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

}  // namespace

Rng::Rng(const std::array<std::uint32_t, 8>& key) noexcept : key_(key) {}

void Rng::refill() noexcept {
    for (unsigned b = 0; b < 4; ++b) chacha12_block(key_, counter_ + b, buf_.data() + 16 * b);
    counter_ += 4;
    pos_ = 0;
}

std::uint32_t Rng::next_u32() noexcept {
    if (pos_ >= buf_.size()) refill();
    return buf_[pos_++];
}

std::uint64_t Rng::next_u64() noexcept {
    // Two separate reads so that a pair straddling a refill stays in stream order.
    std::uint64_t lo = next_u32();
    std::uint64_t hi = next_u32();
    return lo | (hi << 32);
}

double Rng::uniform_float() noexcept {
    return double(next_u64() >> 11) * 0x1.0p-53;
}

std::uint64_t Rng::index_below(std::uint64_t n) {
    if (n == 0) panic("cannot sample empty range");
    if (n <= 0xFFFFFFFFull) {
        // Small ranges always take the 32-bit path, whatever the platform word,
        // so that seeded streams agree everywhere.
        std::uint64_t m = std::uint64_t(next_u32()) * n;
        std::uint32_t hi = std::uint32_t(m >> 32);
        std::uint32_t lo = std::uint32_t(m);
        if (std::uint64_t(lo) > (std::uint64_t(1) << 32) - n) {
            std::uint32_t hi2 = std::uint32_t((std::uint64_t(next_u32()) * n) >> 32);
            if (std::uint32_t(lo + hi2) < lo) hi += 1;
        }
        return hi;
    }
    using u128 = unsigned __int128;
    u128 m = u128(next_u64()) * n;
    std::uint64_t hi = std::uint64_t(m >> 64);
    std::uint64_t lo = std::uint64_t(m);
    if (lo > 0 - n) {  // 0 - n is 2^64 - n, as n > 0
        std::uint64_t hi2 = std::uint64_t((u128(next_u64()) * n) >> 64);
        if (lo + hi2 < lo) hi += 1;
    }
    return hi;
}

std::uint64_t Rng::uniform(std::uint64_t a, std::uint64_t b) {
    std::uint64_t span = b - a + 1;
    if (span == 0) return next_u64();  // the whole word
    return a + index_below(span);
}

Rng rng_from_u64(std::uint64_t seed) noexcept {
    std::array<std::uint32_t, 8> key;
    std::uint64_t s = seed;
    for (auto& word : key) {
        s = s * 6364136223846793005ull + 11634580027462260723ull;
        std::uint32_t xorshifted = std::uint32_t(((s >> 18) ^ s) >> 27);
        word = std::rotr(xorshifted, int(s >> 59));
    }
    return Rng(key);
}

namespace {

Rng entropy_rng() {
    std::array<std::uint32_t, 8> key{};
    auto* bytes = reinterpret_cast<unsigned char*>(key.data());
    std::size_t want = sizeof key, got = 0;
    while (got < want) {
        ssize_t r = getrandom(bytes + got, want - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;  // no getrandom on this kernel, or no entropy to be had
        got += std::size_t(r);
    }
    if (got < want) {
        std::random_device dev;
        for (auto& word : key) word = dev();
    }
    return Rng(key);
}

}  // namespace

Rng build_rng(std::optional<std::uint64_t> seed) {
    if (seed) return rng_from_u64(*seed);
    thread_local Rng seeder = entropy_rng();
    return rng_from_u64(seeder.next_u64());
}

}  // namespace porosa
