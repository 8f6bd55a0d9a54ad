// Sixteen ChaCha12 blocks at a time in AVX-512 registers. Only the functions
// here are compiled for AVX-512F (by attribute, so the rest of the program
// keeps the baseline instruction set); they run only where the processor has it.
#include "generators/common/chacha.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#define POROSA_AVX512 __attribute__((target("avx512f")))

// GCC 12 flags the deliberately undefined operand inside its own rotate and
// shuffle intrinsics as uninitialized once they are inlined here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace porosa::chacha {

namespace {

POROSA_AVX512 inline void quarter(__m512i& a, __m512i& b, __m512i& c, __m512i& d) noexcept {
    a = _mm512_add_epi32(a, b); d = _mm512_rol_epi32(_mm512_xor_si512(d, a), 16);
    c = _mm512_add_epi32(c, d); b = _mm512_rol_epi32(_mm512_xor_si512(b, c), 12);
    a = _mm512_add_epi32(a, b); d = _mm512_rol_epi32(_mm512_xor_si512(d, a), 8);
    c = _mm512_add_epi32(c, d); b = _mm512_rol_epi32(_mm512_xor_si512(b, c), 7);
}

// Register i holds word i of the sixteen blocks, one block per lane; the first
// `take` blocks go to out in order.
POROSA_AVX512 void batch16(const std::uint32_t* key, std::uint64_t counter, std::size_t take,
                           std::uint32_t* out) noexcept {
    __m512i in[14];
    in[0] = _mm512_set1_epi32(0x61707865);
    in[1] = _mm512_set1_epi32(0x3320646e);
    in[2] = _mm512_set1_epi32(0x79622d32);
    in[3] = _mm512_set1_epi32(0x6b206574);
    for (int i = 0; i < 8; ++i) in[4 + i] = _mm512_set1_epi32(int(key[i]));
    // The low counter word of a lane may wrap; its carry goes into the high word.
    const __m512i base_lo = _mm512_set1_epi32(int(std::uint32_t(counter)));
    const __m512i lo = _mm512_add_epi32(base_lo, _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    const __mmask16 wrapped = _mm512_cmplt_epu32_mask(lo, base_lo);
    const __m512i hi = _mm512_set1_epi32(int(std::uint32_t(counter >> 32)));
    in[12] = lo;
    in[13] = _mm512_mask_add_epi32(hi, wrapped, hi, _mm512_set1_epi32(1));

    __m512i x[16];
    for (int i = 0; i < 14; ++i) x[i] = in[i];
    x[14] = x[15] = _mm512_setzero_si512();  // the nonce
    twelve_rounds(x, quarter);
    for (int i = 0; i < 14; ++i) x[i] = _mm512_add_epi32(x[i], in[i]);

    // Transpose: u[g][j] gets, in its 128-bit quarter q, words 4g..4g+3 of block 4q + j.
    __m512i u[4][4];
    for (int g = 0; g < 4; ++g) {
        const __m512i t0 = _mm512_unpacklo_epi32(x[4 * g], x[4 * g + 1]);
        const __m512i t1 = _mm512_unpackhi_epi32(x[4 * g], x[4 * g + 1]);
        const __m512i t2 = _mm512_unpacklo_epi32(x[4 * g + 2], x[4 * g + 3]);
        const __m512i t3 = _mm512_unpackhi_epi32(x[4 * g + 2], x[4 * g + 3]);
        u[g][0] = _mm512_unpacklo_epi64(t0, t2);
        u[g][1] = _mm512_unpackhi_epi64(t0, t2);
        u[g][2] = _mm512_unpacklo_epi64(t1, t3);
        u[g][3] = _mm512_unpackhi_epi64(t1, t3);
    }
    // Block 4q + j is quarter q of u[0][j], u[1][j], u[2][j], u[3][j]: a 4 x 4
    // transpose of quarters, in two rounds of quarter shuffles.
    for (std::size_t j = 0; j < 4 && j < take; ++j) {
        const __m512i s0 = _mm512_shuffle_i32x4(u[0][j], u[1][j], _MM_SHUFFLE(1, 0, 1, 0));  // u0.0 u0.1 u1.0 u1.1
        const __m512i s1 = _mm512_shuffle_i32x4(u[0][j], u[1][j], _MM_SHUFFLE(3, 2, 3, 2));  // u0.2 u0.3 u1.2 u1.3
        const __m512i s2 = _mm512_shuffle_i32x4(u[2][j], u[3][j], _MM_SHUFFLE(1, 0, 1, 0));
        const __m512i s3 = _mm512_shuffle_i32x4(u[2][j], u[3][j], _MM_SHUFFLE(3, 2, 3, 2));
        const __m512i block[4] = {
            _mm512_shuffle_i32x4(s0, s2, _MM_SHUFFLE(2, 0, 2, 0)),
            _mm512_shuffle_i32x4(s0, s2, _MM_SHUFFLE(3, 1, 3, 1)),
            _mm512_shuffle_i32x4(s1, s3, _MM_SHUFFLE(2, 0, 2, 0)),
            _mm512_shuffle_i32x4(s1, s3, _MM_SHUFFLE(3, 1, 3, 1)),
        };
        for (std::size_t q = 0; q < 4; ++q) {
            if (4 * q + j < take) _mm512_storeu_si512(out + 16 * (4 * q + j), block[q]);
        }
    }
}

}  // namespace

POROSA_AVX512 void blocks_avx512(const std::uint32_t* key, std::uint64_t counter, std::size_t n,
                                 std::uint32_t* out) noexcept {
    in_batches<16>(key, counter, n, out, batch16);
}

}  // namespace porosa::chacha

#pragma GCC diagnostic pop

#endif
