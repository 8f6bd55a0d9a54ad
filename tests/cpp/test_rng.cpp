#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <vector>

#include "core/panic.hpp"
#include "generators/common/chacha.hpp"
#include "generators/common/rng.hpp"
#include "harness.hpp"

using porosa::Rng;

namespace {

using u128 = unsigned __int128;

std::vector<std::uint32_t> words(Rng& rng, std::size_t n) {
    std::vector<std::uint32_t> w(n);
    for (auto& x : w) x = rng.next_u32();
    return w;
}

using porosa::chacha::Path;
constexpr Path kPaths[] = {Path::scalar, Path::avx2, Path::avx512};

// The reference: one block at a time, in portable code.
std::vector<std::uint32_t> scalar_words(const std::array<std::uint32_t, 8>& key, std::uint64_t counter, std::size_t blocks) {
    std::vector<std::uint32_t> w(16 * blocks);
    porosa::chacha::blocks_scalar(key.data(), counter, blocks, w.data());
    return w;
}

// Generators refill through `path` while this lives.
struct UsePath {
    Path before;
    explicit UsePath(Path path) : before(porosa::chacha::use(path)) {}
    ~UsePath() { porosa::chacha::use(before); }
};

}  // namespace

TEST(rng, chacha12_zero_key_vector) {
    // Published keystream for ChaCha12 with a zero key and zero nonce, blocks 0 and 1.
    const std::uint32_t want[32] = {
        0x6a9af49b, 0x53f95507, 0x12ce1f81, 0xd583265f, 0xbbc32904, 0x1474e049, 0xa589007e, 0x5f15ae2e,
        0x79f86405, 0xc0e37ad2, 0x3428e82c, 0x798cfaac, 0x2c9f623a, 0x1969dea0, 0x2fe80b61, 0xbe261341,
        0x4188d50b, 0xfe743e20, 0x3371fc86, 0x3d17e08c, 0xb7eb28c6, 0xcccbbd19, 0x21851515, 0xb489c04c,
        0xcd8d2542, 0x11f14ca1, 0x97b802c6, 0x43c88c1b, 0xca461ee9, 0xc0515190, 0xb0a64427, 0x1693e617,
    };
    Rng rng(std::array<std::uint32_t, 8>{});
    for (std::uint32_t w : want) EXPECT_EQ(rng.next_u32(), w);
    for (Path path : kPaths) {
        if (!porosa::chacha::supported(path)) continue;
        std::uint32_t got[32];
        porosa::chacha::kernel(path).blocks(std::array<std::uint32_t, 8>{}.data(), 0, 2, got);
        EXPECT_TRUE(std::equal(got, got + 32, want));
    }
}

TEST(rng, every_path_computes_the_scalar_blocks) {
    const std::array<std::uint32_t, 8> keys[] = {
        {},
        {0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06, 0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7},
        {~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u, ~0u},
    };
    // 37 blocks end in a part batch on every path; the counters near 2^32 carry
    // into the high word inside a batch, the last one wraps the whole counter.
    const std::uint64_t counters[] = {0, 3, (std::uint64_t(1) << 32) - 5, (std::uint64_t(7) << 32) - 30, ~std::uint64_t(0) - 20};
    for (Path path : kPaths) {
        if (path == Path::scalar || !porosa::chacha::supported(path)) continue;
        for (const auto& key : keys) {
            for (std::uint64_t counter : counters) {
                for (std::size_t blocks : {std::size_t(1), std::size_t(37)}) {
                    std::vector<std::uint32_t> got(16 * blocks);
                    porosa::chacha::kernel(path).blocks(key.data(), counter, blocks, got.data());
                    EXPECT_EQ(got, scalar_words(key, counter, blocks));
                }
            }
        }
    }
}

TEST(rng, draws_and_fills_interleave_into_one_stream) {
    const std::array<std::uint32_t, 8> key = {1, 2, 3, 4, 5, 6, 7, 0x80000000u};
    const auto want = scalar_words(key, 0, 400);
    for (Path path : kPaths) {
        if (!porosa::chacha::supported(path)) continue;
        UsePath scope(path);
        Rng rng(key);
        std::vector<std::uint32_t> got;
        // A fixed pseudo-random script of reads, so that every kind of read meets
        // every position in the buffer, the end of the first batch included.
        std::uint32_t state = 12345;
        while (got.size() < want.size() - 1200) {
            state = state * 1103515245u + 12345u;
            const std::uint32_t r = state >> 16;
            if (r % 4 == 3) {
                // Words passed over continue the stream where they would have.
                const std::size_t k = r % 5 == 0 ? r % 1100 : r % 40;
                rng.discard(k);
                got.insert(got.end(), want.begin() + std::ptrdiff_t(got.size()),
                           want.begin() + std::ptrdiff_t(got.size() + k));
            } else if (r % 4 == 0) {
                got.push_back(rng.next_u32());
            } else if (r % 4 == 1) {
                const std::uint64_t x = rng.next_u64();
                got.push_back(std::uint32_t(x));
                got.push_back(std::uint32_t(x >> 32));
            } else {
                std::vector<std::uint32_t> chunk(r % 5 == 0 ? r % 1100 : r % 40);
                rng.fill(chunk);
                got.insert(got.end(), chunk.begin(), chunk.end());
            }
            ASSERT_TRUE(rng.words_used() == got.size());
            if (r % 97 == 0) rng = Rng(rng);  // a copy carries the unread words
        }
        EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
        // A double word at every position up to past the second refill, the
        // ones straddling a refill included.
        for (std::size_t k = 0; k < 600; ++k) {
            Rng skip(key);
            for (std::size_t i = 0; i < k; ++i) skip.next_u32();
            EXPECT_EQ(skip.next_u64(), want[k] | (std::uint64_t(want[k + 1]) << 32));
            EXPECT_EQ(skip.next_u32(), want[k + 2]);
        }
    }
    // The free keystream starts anywhere and ends mid-block.
    std::vector<std::uint32_t> part(16 * 9 + 5);
    porosa::chacha12_keystream(key, 3, part);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), want.begin() + 48));
}

TEST(rng, refills_continue_the_stream) {
    Rng a = porosa::rng_from_u64(99), b = porosa::rng_from_u64(99);
    auto w = words(b, 1024);
    // Every 16-word block of several refills, on any kernel, is distinct: a
    // counter that stood still or moved by one block per refill would repeat one.
    std::set<std::vector<std::uint32_t>> blocks;
    for (std::size_t k = 0; k < 1024; k += 16) blocks.insert(std::vector<std::uint32_t>(w.begin() + k, w.begin() + k + 16));
    EXPECT_EQ(blocks.size(), 64u);

    // A double word straddling words 63 and 64 is taken low half first.
    for (int i = 0; i < 63; ++i) a.next_u32();
    EXPECT_EQ(a.next_u64(), std::uint64_t(w[63]) | (std::uint64_t(w[64]) << 32));
    for (std::size_t i = 65; i < 1024; ++i) EXPECT_EQ(a.next_u32(), w[i]);
}

TEST(rng, uniform_float_uses_top_53_bits) {
    Rng a = porosa::rng_from_u64(5), b = porosa::rng_from_u64(5);
    for (int k = 0; k < 200; ++k) {
        std::uint64_t lo = b.next_u32(), hi = b.next_u32();
        double want = double(((hi << 32) | lo) >> 11) / 9007199254740992.0;
        double got = a.uniform_float();
        EXPECT_BITEQ(got, want);
        EXPECT_TRUE(got >= 0.0 && got < 1.0);
    }
}

TEST(rng, index_below_all_ones_32) {
    // For n = 2^32 - 1 the method reduces to x - 1 + (y > x) with a second word y
    // (for 0 < x < n), so both outcomes of the carry are visible directly.
    const std::uint64_t n = 0xFFFFFFFFu;
    Rng a = porosa::rng_from_u64(2024), b = porosa::rng_from_u64(2024);
    int carried = 0, plain = 0;
    for (int k = 0; k < 300; ++k) {
        std::uint32_t x = b.next_u32();
        ASSERT_TRUE(x != 0 && x != 0xFFFFFFFFu);  // practically never; keeps the formula exact
        std::uint32_t y = b.next_u32();
        std::uint64_t want = std::uint64_t(x) - 1 + (y > x ? 1 : 0);
        (y > x ? carried : plain)++;
        EXPECT_EQ(a.index_below(n), want);
    }
    EXPECT_EQ(a.next_u32(), b.next_u32());  // exactly two words per index
    EXPECT_TRUE(carried > 0 && plain > 0);
}

TEST(rng, index_below_32_bit_matches_wide_product) {
    // With a second word the result is the top of (x * 2^32 + y) * n over 2^64;
    // without it, the top of x * n over 2^32.
    for (std::uint64_t n : {3000000000ull, 6ull, 1ull, 0x80000001ull, 12ull * 11 * 10 * 9 * 8 * 7 * 6 * 5 * 4 * 3 * 2}) {
        Rng a = porosa::rng_from_u64(n), b = porosa::rng_from_u64(n);
        int two_words = 0;
        for (int k = 0; k < 400; ++k) {
            std::uint64_t x = b.next_u32();
            std::uint64_t lo = (x * n) & 0xFFFFFFFFu;
            std::uint64_t want;
            if (lo > (std::uint64_t(1) << 32) - n) {
                std::uint64_t y = b.next_u32();
                want = std::uint64_t((u128((x << 32) | y) * n) >> 64);
                ++two_words;
            } else {
                want = (x * n) >> 32;
            }
            std::uint64_t got = a.index_below(n);
            EXPECT_EQ(got, want);
            EXPECT_LT(got, n);
        }
        EXPECT_EQ(a.next_u32(), b.next_u32());
        if (n == 3000000000ull) EXPECT_TRUE(two_words > 50);
    }
}

TEST(rng, index_below_64_bit_ranges) {
    Rng a = porosa::rng_from_u64(8), b = porosa::rng_from_u64(8);
    // 2^32 and 2^63: the low product never exceeds 2^64 - n, one double word each.
    for (int k = 0; k < 50; ++k) {
        std::uint64_t x = b.next_u64();
        EXPECT_EQ(a.index_below(std::uint64_t(1) << 32), x >> 32);
        x = b.next_u64();
        EXPECT_EQ(a.index_below(std::uint64_t(1) << 63), x >> 1);
    }
    // 2^64 - 1: x - 1 + (y > x), two double words.
    int carried = 0;
    for (int k = 0; k < 100; ++k) {
        std::uint64_t x = b.next_u64(), y = b.next_u64();
        carried += y > x;
        EXPECT_EQ(a.index_below(~std::uint64_t(0)), x - 1 + (y > x ? 1 : 0));
    }
    EXPECT_TRUE(carried > 0 && carried < 100);
    EXPECT_EQ(a.next_u32(), b.next_u32());
}

TEST(rng, index_below_empty_range_panics) {
    Rng rng = porosa::rng_from_u64(1);
    EXPECT_THROW_MSG(rng.index_below(0), porosa::Panic, "cannot sample empty range");
}

TEST(rng, uniform_inclusive_bounds) {
    Rng a = porosa::rng_from_u64(77), b = porosa::rng_from_u64(77);
    EXPECT_EQ(a.uniform(5, 5), 5u);  // one word, always index 0
    b.next_u32();
    EXPECT_EQ(a.uniform(0, ~std::uint64_t(0)), b.next_u64());
    for (int k = 0; k < 100; ++k) {
        std::uint64_t x = b.next_u32();
        ASSERT_TRUE(((x * 3) & 0xFFFFFFFFu) <= 0xFFFFFFFDu);  // no second word for this seed
        EXPECT_EQ(a.uniform(10, 12), 10 + ((x * 3) >> 32));
    }
    std::uint64_t x = b.next_u64(), y = b.next_u64();
    EXPECT_EQ(a.uniform(1, ~std::uint64_t(0)), 1 + x - 1 + (y > x ? 1 : 0));
}

TEST(rng, pcg32_key_expansion_of_zero) {
    // The eight key words of seed 0, stepped and permuted by hand.
    const std::array<std::uint32_t, 8> key = {0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06,
                                              0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7};
    Rng a = porosa::rng_from_u64(0), b(key), c = porosa::build_rng(0);
    auto want = words(b, 80);
    EXPECT_EQ(words(a, 80), want);
    EXPECT_EQ(words(c, 80), want);
}

TEST(rng, build_rng_seeded_and_unseeded) {
    Rng a = porosa::build_rng(42), b = porosa::build_rng(42), c = porosa::build_rng(43);
    auto wa = words(a, 100);
    EXPECT_EQ(wa, words(b, 100));
    EXPECT_NE(wa, words(c, 100));
    // Unseeded generators each take their own seed.
    Rng u = porosa::build_rng(std::nullopt), v = porosa::build_rng(std::nullopt);
    EXPECT_NE(words(u, 8), words(v, 8));
}
