// Eight ChaCha12 blocks at a time in AVX2 registers. Only the functions here
// are compiled for AVX2 (by attribute, so the rest of the program keeps the
// baseline instruction set); they run only where the processor has it.
#include "generators/common/chacha.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#define POROSA_AVX2 __attribute__((target("avx2")))

namespace porosa::chacha {

namespace {

POROSA_AVX2 inline __m256i rotl(__m256i v, int n) noexcept {
    return _mm256_or_si256(_mm256_slli_epi32(v, n), _mm256_srli_epi32(v, 32 - n));
}

// Rotations by whole bytes are one shuffle instead of two shifts and an or.
POROSA_AVX2 inline __m256i rotl16(__m256i v) noexcept {
    const __m256i m = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                       2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
    return _mm256_shuffle_epi8(v, m);
}

POROSA_AVX2 inline __m256i rotl8(__m256i v) noexcept {
    const __m256i m = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
                                       3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
    return _mm256_shuffle_epi8(v, m);
}

POROSA_AVX2 inline void quarter(__m256i& a, __m256i& b, __m256i& c, __m256i& d) noexcept {
    a = _mm256_add_epi32(a, b); d = rotl16(_mm256_xor_si256(d, a));
    c = _mm256_add_epi32(c, d); b = rotl(_mm256_xor_si256(b, c), 12);
    a = _mm256_add_epi32(a, b); d = rotl8(_mm256_xor_si256(d, a));
    c = _mm256_add_epi32(c, d); b = rotl(_mm256_xor_si256(b, c), 7);
}

// Register i holds word i of the eight blocks, one block per lane; the first
// `take` blocks go to out in order.
POROSA_AVX2 void batch8(const std::uint32_t* key, std::uint64_t counter, std::size_t take,
                        std::uint32_t* out) noexcept {
    __m256i in[14];
    in[0] = _mm256_set1_epi32(0x61707865);
    in[1] = _mm256_set1_epi32(0x3320646e);
    in[2] = _mm256_set1_epi32(0x79622d32);
    in[3] = _mm256_set1_epi32(0x6b206574);
    for (int i = 0; i < 8; ++i) in[4 + i] = _mm256_set1_epi32(int(key[i]));
    // The low counter word of a lane may wrap; its carry goes into the high word.
    const __m256i base_lo = _mm256_set1_epi32(int(std::uint32_t(counter)));
    const __m256i lo = _mm256_add_epi32(base_lo, _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    const __m256i sign = _mm256_set1_epi32(int(0x80000000u));
    // Unsigned lo < base_lo, by signed comparison of both with the sign flipped: all ones where it wrapped.
    const __m256i wrapped = _mm256_cmpgt_epi32(_mm256_xor_si256(base_lo, sign), _mm256_xor_si256(lo, sign));
    in[12] = lo;
    in[13] = _mm256_sub_epi32(_mm256_set1_epi32(int(std::uint32_t(counter >> 32))), wrapped);

    __m256i x[16];
    for (int i = 0; i < 14; ++i) x[i] = in[i];
    x[14] = x[15] = _mm256_setzero_si256();  // the nonce
    twelve_rounds(x, quarter);
    for (int i = 0; i < 14; ++i) x[i] = _mm256_add_epi32(x[i], in[i]);

    // Transpose: u[g][j] gets, in its 128-bit half h, words 4g..4g+3 of block 4h + j.
    __m256i u[4][4];
    for (int g = 0; g < 4; ++g) {
        const __m256i t0 = _mm256_unpacklo_epi32(x[4 * g], x[4 * g + 1]);
        const __m256i t1 = _mm256_unpackhi_epi32(x[4 * g], x[4 * g + 1]);
        const __m256i t2 = _mm256_unpacklo_epi32(x[4 * g + 2], x[4 * g + 3]);
        const __m256i t3 = _mm256_unpackhi_epi32(x[4 * g + 2], x[4 * g + 3]);
        u[g][0] = _mm256_unpacklo_epi64(t0, t2);
        u[g][1] = _mm256_unpackhi_epi64(t0, t2);
        u[g][2] = _mm256_unpacklo_epi64(t1, t3);
        u[g][3] = _mm256_unpackhi_epi64(t1, t3);
    }
    // Block h * 4 + j takes half h of each: words 0-7 from u[0][j] and u[1][j],
    // words 8-15 from u[2][j] and u[3][j].
    for (std::size_t j = 0; j < 4 && j < take; ++j) {
        __m256i* dst = reinterpret_cast<__m256i*>(out + 16 * j);
        _mm256_storeu_si256(dst, _mm256_permute2x128_si256(u[0][j], u[1][j], 0x20));
        _mm256_storeu_si256(dst + 1, _mm256_permute2x128_si256(u[2][j], u[3][j], 0x20));
    }
    for (std::size_t j = 0; j < 4 && 4 + j < take; ++j) {
        __m256i* dst = reinterpret_cast<__m256i*>(out + 16 * (4 + j));
        _mm256_storeu_si256(dst, _mm256_permute2x128_si256(u[0][j], u[1][j], 0x31));
        _mm256_storeu_si256(dst + 1, _mm256_permute2x128_si256(u[2][j], u[3][j], 0x31));
    }
}

}  // namespace

POROSA_AVX2 void blocks_avx2(const std::uint32_t* key, std::uint64_t counter, std::size_t n,
                             std::uint32_t* out) noexcept {
    in_batches<8>(key, counter, n, out, batch8);
}

}  // namespace porosa::chacha

#endif
