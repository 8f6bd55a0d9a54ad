#include "generators/common/rng.hpp"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <random>

#include <sys/random.h>

#include "core/panic.hpp"
#include "generators/common/chacha.hpp"

namespace porosa {

Rng::Rng(const Rng& other) noexcept { *this = other; }

Rng& Rng::operator=(const Rng& other) noexcept {
    if (this != &other) {
        pos_ = other.pos_;
        counter_ = other.counter_;
        key_ = other.key_;
        std::copy(other.buf_ + pos_, other.buf_ + kWords, buf_ + pos_);
    }
    return *this;
}

void Rng::refill() noexcept {
    const chacha::Kernel& kernel = chacha::active();
    // The first refill computes a single batch of the kernel (four blocks on the
    // scalar one, as it always did), so that a generator read for a few words
    // pays for no more; later ones fill the buffer.
    const unsigned blocks = counter_ == 0 ? kernel.batch : kBlocks;
    pos_ = kWords - 16 * blocks;
    kernel.blocks(key_.data(), counter_, blocks, buf_ + pos_);
    counter_ += blocks;
}

void Rng::fill(std::span<std::uint32_t> out) noexcept {
    const std::size_t buffered = kWords - pos_;
    if (out.size() <= buffered) {
        std::copy_n(buf_ + pos_, out.size(), out.data());
        pos_ += unsigned(out.size());
        return;
    }
    std::copy_n(buf_ + pos_, buffered, out.data());
    pos_ = kWords;
    out = out.subspan(buffered);
    const std::size_t whole = out.size() / 16;
    if (whole > 0) {
        chacha::active().blocks(key_.data(), counter_, whole, out.data());
        counter_ += whole;
    }
    const std::size_t tail = out.size() % 16;
    if (tail > 0) {
        refill();
        std::copy_n(buf_ + pos_, tail, out.data() + 16 * whole);
        pos_ += unsigned(tail);
    }
}

void Rng::discard(std::uint64_t words) noexcept {
    const std::size_t buffered = kWords - pos_;
    if (words <= buffered) {
        pos_ += unsigned(words);
        return;
    }
    words -= buffered;
    pos_ = kWords;
    counter_ += words / 16;
    const unsigned tail = unsigned(words % 16);
    if (tail > 0) {
        refill();
        pos_ += tail;
    }
}

std::uint64_t Rng::index_below_wide(std::uint64_t n) {
    if (n == 0) panic("cannot sample empty range");
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

void chacha12_keystream(const std::array<std::uint32_t, 8>& key, std::uint64_t first_block,
                        std::span<std::uint32_t> out) noexcept {
    const chacha::Kernel& kernel = chacha::active();
    const std::size_t whole = out.size() / 16, tail = out.size() % 16;
    kernel.blocks(key.data(), first_block, whole, out.data());
    if (tail > 0) {
        std::uint32_t last[16];
        kernel.blocks(key.data(), first_block + whole, 1, last);
        std::copy_n(last, tail, out.data() + 16 * whole);
    }
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
