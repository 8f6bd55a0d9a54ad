// BLOCK: rectangles drawn at random until enough cells have gone.
//
// On data that already holds NaN almost every rectangle is refused, and a call
// draws hundreds of millions of them, so what decides the time is the cost of
// refusing one. The fast passes keep the free cells (neither NaN, protected nor
// taken) as bits, one column after another, plus upper bounds on the height of
// a free rectangle over each column range: most rectangles are refused by the
// size test or the bound, with arithmetic only, and the rest look at a few
// words of bits that fit in cache. None of this changes a draw.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "core/cpu_features.hpp"
#include "core/interrupt.hpp"
#include "core/panic.hpp"
#include "generators/mnar/removal.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define POROSA_BLOCK_AVX512 1
#endif

namespace porosa::mnar {
namespace {

bool all_rows_protect_one_column(std::span<const std::size_t> protected_cols, std::size_t rows) {
    const auto end = protected_cols.begin() + std::ptrdiff_t(rows);
    return std::adjacent_find(protected_cols.begin(), end, std::not_equal_to<>()) == end;
}

// Whether the rectangle may go: no protected cell and no NaN cell in it. The
// protected test comes first because it is one comparison when, as in BLOCK,
// every row protects the same column.
bool block_is_free(const DataMatrix& matrix, std::span<const std::size_t> protected_cols, bool shared_column,
                   std::size_t r0, std::size_t c0, std::size_t h, std::size_t w) {
    auto inside = [&](std::size_t c) { return c >= c0 && c - c0 < w; };
    if (shared_column) {
        if (inside(protected_cols[r0])) return false;
    } else {
        for (std::size_t r = r0; r < r0 + h; ++r) {
            if (inside(protected_cols[r])) return false;
        }
    }
    const std::size_t cols = matrix.cols();
    for (std::size_t r = r0; r < r0 + h; ++r) {
        const double* row = matrix.data() + r * cols + c0;
        for (std::size_t i = 0; i < w; ++i) {
            if (std::isnan(row[i])) return false;
        }
    }
    return true;
}

void erase_block(DataMatrix& matrix, std::size_t r0, std::size_t c0, std::size_t h, std::size_t w) {
    const double nan = missing_nan();
    for (std::size_t r = r0; r < r0 + h; ++r) std::fill_n(matrix.data() + r * matrix.cols() + c0, w, nan);
}

// The cells a rectangle may still take, and bounds that refuse most rectangles
// without looking at them.
class FreeCells {
public:
    FreeCells(const DataMatrix& matrix, std::span<const std::size_t> protected_cols, bool full_table)
        : rows_(matrix.rows()),
          cols_(matrix.cols()),
          words_((rows_ + 63) / 64),
          full_(full_table),
          // Past rows / 2 levels the sparse bounds would outgrow the matrix on
          // short, wide inputs; wider ranges take the bound of the widest level.
          levels_(full_ ? cols_ : std::min<std::size_t>(std::bit_width(cols_), rows_ / 2)),
          taken_(cols_ * words_, 0),
          bound_(levels_ * cols_, 0) {
        // Runs of free cells ending at the current row, column by column; the
        // tallest free rectangle over a column range is the largest, over all
        // rows, of the smallest run in the range.
        std::vector<std::uint32_t> run(cols_, 0), low(cols_);
        std::vector<std::uint64_t> bits(cols_, 0);
        for (std::size_t r = 0; r < rows_; ++r) {
            const double* row = matrix.data() + r * cols_;
            const std::size_t prot = protected_cols[r];
            for (std::size_t c = 0; c < cols_; ++c) {
                const bool free = !std::isnan(row[c]) && c != prot;
                run[c] = free ? run[c] + 1 : 0;
                bits[c] |= std::uint64_t(!free) << (r & 63);
            }
            if ((r & 63) == 63 || r + 1 == rows_) {
                for (std::size_t c = 0; c < cols_; ++c) taken_[c * words_ + r / 64] = bits[c], bits[c] = 0;
            }
            if (full_) {
                // Level w - 1 holds the ranges of width w, built from those of width w - 1.
                std::copy(run.begin(), run.end(), low.begin());
                for (std::size_t w = 1; w <= cols_; ++w) {
                    std::uint32_t* b = bound_.data() + (w - 1) * cols_;
                    const std::uint32_t* right = run.data() + (w - 1);
                    for (std::size_t c0 = 0; c0 + w <= cols_; ++c0) {
                        low[c0] = std::min(low[c0], right[c0]);
                        b[c0] = std::max(b[c0], low[c0]);
                    }
                }
            } else {
                // Level k holds the ranges of width 2^k.
                std::copy(run.begin(), run.end(), low.begin());
                for (std::size_t k = 0; k < levels_; ++k) {
                    const std::size_t half = k == 0 ? 0 : std::size_t(1) << (k - 1);
                    std::uint32_t* b = bound_.data() + k * cols_;
                    for (std::size_t c0 = 0; c0 + (std::size_t(1) << k) <= cols_; ++c0) {
                        low[c0] = std::min(low[c0], low[c0 + half]);
                        b[c0] = std::max(b[c0], low[c0]);
                    }
                }
            }
        }
    }

    // False when no free rectangle h rows tall fits in these columns anywhere.
    // Bounds are never lowered as cells go: they stay upper bounds, which is
    // all the refusals need.
    bool may_fit(std::size_t c0, std::size_t w, std::size_t h) const noexcept { return h <= height_bound(c0, w); }

    std::uint32_t height_bound(std::size_t c0, std::size_t w) const noexcept {
        if (full_) return bound_[(w - 1) * cols_ + c0];
        const std::size_t k = std::min<std::size_t>(std::bit_width(w) - 1, levels_ - 1);
        const std::uint32_t* b = bound_.data() + k * cols_;
        return std::min(b[c0], b[c0 + w - (std::size_t(1) << k)]);
    }

    // height_bound(c0, w) as min(bounds()[a + c0], bounds()[b + c0]) for these
    // {a, b}: lookups that need no branch on the table's layout.
    std::pair<std::size_t, std::size_t> bound_offsets(std::size_t w) const noexcept {
        if (full_) return {(w - 1) * cols_, (w - 1) * cols_};
        const std::size_t k = std::min<std::size_t>(std::bit_width(w) - 1, levels_ - 1);
        return {k * cols_, k * cols_ + w - (std::size_t(1) << k)};
    }
    const std::uint32_t* bounds() const noexcept { return bound_.data(); }
    bool full() const noexcept { return full_; }

    bool is_free(std::size_t r0, std::size_t c0, std::size_t h, std::size_t w) const noexcept {
        const std::size_t first = r0 / 64, last = (r0 + h - 1) / 64;
        const std::uint64_t head = ~std::uint64_t(0) << (r0 & 63);
        const std::uint64_t tail = ~std::uint64_t(0) >> (63 - ((r0 + h - 1) & 63));
        for (std::size_t c = c0; c < c0 + w; ++c) {
            const std::uint64_t* col = taken_.data() + c * words_;
            if (first == last) {
                if (col[first] & head & tail) return false;
                continue;
            }
            if (col[first] & head) return false;
            for (std::size_t i = first + 1; i < last; ++i) {
                if (col[i]) return false;
            }
            if (col[last] & tail) return false;
        }
        return true;
    }

    void take(std::size_t r0, std::size_t c0, std::size_t h, std::size_t w) noexcept {
        const std::size_t first = r0 / 64, last = (r0 + h - 1) / 64;
        const std::uint64_t head = ~std::uint64_t(0) << (r0 & 63);
        const std::uint64_t tail = ~std::uint64_t(0) >> (63 - ((r0 + h - 1) & 63));
        for (std::size_t c = c0; c < c0 + w; ++c) {
            std::uint64_t* col = taken_.data() + c * words_;
            if (first == last) {
                col[first] |= head & tail;
                continue;
            }
            col[first] |= head;
            for (std::size_t i = first + 1; i < last; ++i) col[i] = ~std::uint64_t(0);
            col[last] |= tail;
        }
    }

private:
    std::size_t rows_, cols_, words_;
    bool full_;
    std::size_t levels_;
    // One bit per cell, set when the cell cannot go; column c starts at word c * words_.
    std::vector<std::uint64_t> taken_;
    // full_: the tallest free rectangle over columns [c0, c0 + w) at (w - 1) * cols_ + c0;
    // otherwise over [c0, c0 + 2^k) at k * cols_ + c0.
    std::vector<std::uint32_t> bound_;
};

constexpr std::size_t kMinTableRows = 16;

struct Caps {
    std::size_t width, height;
};

// Caps are unsigned on purpose: lowering a cap of 0 wraps it to "no limit".
Caps caps_of(std::size_t rows, std::size_t cols, std::pair<double, double> block_size) {
    return {saturating_count(double(cols) * block_size.first), saturating_count(double(rows) * block_size.second) - 1};
}

struct Rect {
    std::size_t c0, r0, w, h;
};

enum class Verdict { refuse, accept, refuse_and_stop };

// One rectangle's four draws, in their order.
Rect draw_one(Rng& rng, std::size_t rows, std::size_t cols, std::size_t width_cap, std::size_t height_cap) {
    Rect r;
    r.c0 = rng.uniform(0, cols - 1);
    r.r0 = rng.uniform(0, rows - 1);
    r.w = rng.uniform(1, std::max<std::size_t>(1, std::min(cols - r.c0, width_cap)));
    r.h = rng.uniform(1, std::max<std::size_t>(1, std::min(rows - r.r0, height_cap)));
    return r;
}

// Draws the rectangles of a pass until `judge` accepts one, or refuses one and
// asks to stop, the caps then left as the next draw must see them. `judge`
// gets every rectangle with whether it fits in what remains; one that does not
// is never accepted.
template <class Judge>
Verdict draw_rectangle(Rng& rng, std::size_t rows, std::size_t cols, std::size_t rem, Caps& caps, Rect& rect,
                       std::size_t& drawn, Judge&& judge) {
    // Copied into locals, to stay in registers: the caps carry the one chain of
    // dependent arithmetic from a draw to the next.
    std::size_t width_cap = caps.width, height_cap = caps.height, n = drawn;
    Verdict verdict;
    Rect r;
    for (;;) {
        // With few free cells left a pass can go on for billions of draws: the
        // call may be interrupted between them (the matrix holds only whole
        // rectangles here).
        if ((n & 0xFFFF) == 0) interrupt_point(std::size_t{1} << 16);
        r = draw_one(rng, rows, cols, width_cap, height_cap);
        ++n;
        const bool fits = r.w * r.h <= rem;
        verdict = judge(r, fits);
        if (verdict == Verdict::accept) break;
        // A rectangle too large for what remains is redrawn with the caps as they were.
        width_cap -= fits;
        height_cap -= fits;
        if (verdict == Verdict::refuse_and_stop) break;
    }
    caps = {width_cap, height_cap};
    rect = r;
    drawn = n;
    return verdict;
}

// Rectangles read at once: a quarter of the generator's buffer, so that most
// batches find all their words buffered.
constexpr std::size_t kBatch = 64;
// Wider matrices keep one draw at a time: a pass would spend a division per
// column on the limits below before its first batch.
constexpr std::size_t kMaxBatchCols = 256;

// For each width w, (remaining cells / w), the tallest rectangle that still
// fits, scaled by 2^32: the height draw h = 1 + (word * span >> 32) fits
// exactly when word * span is below it. Clamped so that every product of two
// 32-bit values still compares right.
void fit_limits(std::size_t rem, std::size_t cols, std::vector<std::uint64_t>& limits) {
    limits.resize(cols + 1);
    for (std::size_t w = 1; w <= cols; ++w)
        limits[w] = std::min<std::uint64_t>(rem / w, 0xFFFFFFFFull) << 32;
}

// The wide pass reads one word per width: the fit limit above, with the two
// offsets of FreeCells::bound_offsets in its low half, 16 bits each. They fit:
// the bounds of a batched matrix hold at most kMaxBatchCols^2 entries.
static_assert(kMaxBatchCols * kMaxBatchCols <= 0x10000);
void packed_limits(std::size_t rem, std::size_t cols, const FreeCells& cells, std::vector<std::uint64_t>& limits) {
    fit_limits(rem, cols, limits);
    for (std::size_t w = 1; w <= cols; ++w) {
        const auto [a, b] = cells.bound_offsets(w);
        limits[w] |= (b << 16) | a;
    }
}

#ifdef POROSA_BLOCK_AVX512
// GCC 12 flags the deliberately undefined operand inside its own intrinsics as
// uninitialized once they are inlined here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// The first pass of a batch, eight rectangles to a register, one per 64-bit
// lane: the same fit_below and look_below as the scalar pass (rounded up to
// whole registers), and whether some draw may take a second word. Rectangles
// past nb read zero words, which make a valid width and column and never look
// odd, so the last register needs no separate path.
__attribute__((target("avx512f"))) bool batch_limits_avx512(const std::uint32_t* words, std::size_t nb,
                                                            std::size_t rows, std::size_t cols,
                                                            const std::uint64_t* packed, const FreeCells& cells,
                                                            std::uint64_t* fit_below, std::uint64_t* look_below) {
    const __m512i vrows = _mm512_set1_epi64((long long)rows), vcols = _mm512_set1_epi64((long long)cols);
    const __m512i one = _mm512_set1_epi64(1), low16 = _mm512_set1_epi64(0xFFFF);
    const __m512i high32 = _mm512_set1_epi64((long long)0xFFFFFFFF00000000ull), all = _mm512_set1_epi64(-1);
    // Word k of rectangle j into the low half of lane j; the high halves are
    // left to the multiplies, which ignore them.
    const __m512i pick0 = _mm512_set_epi32(0, 28, 0, 24, 0, 20, 0, 16, 0, 12, 0, 8, 0, 4, 0, 0);
    const __m512i pick1 = _mm512_add_epi32(pick0, _mm512_set1_epi32(1));
    const __m512i pick2 = _mm512_add_epi32(pick0, _mm512_set1_epi32(2));
    const __m512i pick3 = _mm512_add_epi32(pick0, _mm512_set1_epi32(3));
    const std::uint32_t* bounds = cells.bounds();
    const bool full = cells.full();
    __mmask16 odd = 0;
    for (std::size_t i = 0; i < nb; i += 8) {
        // Masked loads: the words past the batch may lie past the buffer.
        const unsigned n = 4 * unsigned(std::min<std::size_t>(8, nb - i));
        const __m512i lo = _mm512_maskz_loadu_epi32(__mmask16((1u << std::min(n, 16u)) - 1), words + 4 * i);
        const __m512i hi = _mm512_maskz_loadu_epi32(__mmask16((1u << (n > 16 ? n - 16 : 0)) - 1), words + 4 * i + 16);
        const __m512i mc0 = _mm512_mul_epu32(_mm512_permutex2var_epi32(lo, pick0, hi), vcols);
        const __m512i mr0 = _mm512_mul_epu32(_mm512_permutex2var_epi32(lo, pick1, hi), vrows);
        const __m512i c0 = _mm512_srli_epi64(mc0, 32);
        const __m512i wspan = _mm512_sub_epi64(vcols, c0);
        const __m512i hspan = _mm512_sub_epi64(vrows, _mm512_srli_epi64(mr0, 32));
        const __m512i mw = _mm512_mul_epu32(_mm512_permutex2var_epi32(lo, pick2, hi), wspan);
        const __m512i mh = _mm512_mul_epu32(_mm512_permutex2var_epi32(lo, pick3, hi), hspan);
        // The scalar test's low half plus span past 2^32, in 32-bit lanes: the
        // sum wraps below the span. Spans are below 2^32, so the high halves
        // add zero and never wrap.
        odd |= _mm512_cmplt_epu32_mask(_mm512_add_epi32(mc0, vcols), vcols) |
               _mm512_cmplt_epu32_mask(_mm512_add_epi32(mr0, vrows), vrows) |
               _mm512_cmplt_epu32_mask(_mm512_add_epi32(mw, wspan), wspan) |
               _mm512_cmplt_epu32_mask(_mm512_add_epi32(mh, hspan), hspan);
        const __m512i width = _mm512_add_epi64(_mm512_srli_epi64(mw, 32), one);
        const __m512i entry = _mm512_i64gather_epi64(width, (const long long*)packed, 8);
        const __m512i fit = _mm512_and_si512(entry, high32);
        const __m512i first = _mm512_add_epi64(_mm512_and_si512(entry, low16), c0);
        __m256i bound = _mm512_i64gather_epi32(first, (const int*)bounds, 4);
        if (!full) {
            const __m512i second = _mm512_add_epi64(_mm512_and_si512(_mm512_srli_epi64(entry, 16), low16), c0);
            bound = _mm256_min_epu32(bound, _mm512_i64gather_epi32(second, (const int*)bounds, 4));
        }
        const __m512i look = _mm512_slli_epi64(_mm512_cvtepu32_epi64(bound), 32);
        const __m512i fit_limit = _mm512_mask_mov_epi64(fit, _mm512_cmplt_epu64_mask(mh, fit), all);
        const __m512i look_limit = _mm512_mask_mov_epi64(look, _mm512_cmplt_epu64_mask(mh, look), all);
        _mm512_storeu_si512(fit_below + i, fit_limit);
        _mm512_storeu_si512(look_below + i, _mm512_min_epu64(fit_limit, look_limit));
    }
    return odd != 0;
}
#pragma GCC diagnostic pop
#endif

// draw_rectangle judged on the tables, with the same words, rectangles and
// verdicts, read a batch at a time while the caps allow it.
//
// Past its first few refusals a pass has a width cap no rectangle reaches, and
// a height cap that is either as far out of reach or a plain number below 2^32.
// Then all of a rectangle but its height is known from its words alone, and
// the height depends on the cap only through the product word * cap, the cap
// being the smaller span: with h = 1 + (word * min(rows - r0, cap) >> 32), a
// test h <= H is word * min(rows - r0, cap) < H * 2^32, that is (word * (rows
// - r0) < H * 2^32) or (word * cap < H * 2^32). The first half of that, with
// everything else about the rectangle, is worked out for the whole batch
// first, free of the caps; what remains from one rectangle to the next is a
// multiplication and two comparisons per rectangle, against precomputed
// limits: the cap falls by one for each rectangle that fits, and the rare one
// that fits and passes the height bound is looked up and may end the pass.
//
// A draw whose first word lands in the rejection zone takes a second word and
// shifts every later rectangle's words. A batch where that may happen (tested
// loosely, about once in 2^32 / rows rectangles) is drawn one rectangle at a
// time instead, as is a rectangle whose words straddle a refill.
Verdict draw_rectangle_batched(Rng& rng, std::size_t rows, std::size_t cols, std::size_t rem, Caps& caps,
                               Rect& rect, std::size_t& drawn, const FreeCells& cells, std::size_t& looked_at,
                               std::vector<std::uint64_t>& limits, std::size_t& redrawn, bool wide) {
    std::size_t width_cap = caps.width, height_cap = caps.height, n = drawn;
    bool limits_ready = false;
    // Whole registers of the wide pass.
    alignas(64) std::uint64_t fit_below[kBatch], look_below[kBatch];
    const auto accept = [&](const Rect& r) {
        caps = {width_cap, height_cap};
        rect = r;
        drawn = n;
        return Verdict::accept;
    };
    // One rectangle exactly as draw_rectangle would, the interrupt point left
    // to the loop: whether it was accepted, into `r`.
    const auto one = [&](Rect& r) {
        r = draw_one(rng, rows, cols, width_cap, height_cap);
        ++n;
        const bool fits = r.w * r.h <= rem;
        if (fits & cells.may_fit(r.c0, r.w, r.h)) [[unlikely]] {
            ++looked_at;
            if (cells.is_free(r.r0, r.c0, r.h, r.w)) return true;
        }
        width_cap -= fits;
        height_cap -= fits;
        return false;
    };
    // Rectangles before the first that fits and passes the bound: the index
    // of that one (or nb), with the number that fit among those before it.
    struct Run {
        std::size_t end, fitted;
    };
    const auto refusals = [&]<bool capped>(const std::uint32_t* words, std::size_t nb, std::uint64_t& odd) {
        std::uint64_t cap = capped ? height_cap : rows;
        std::size_t fitted = 0, i = 0;
        for (; i < nb; ++i) {
            const std::uint64_t t = std::uint64_t(words[4 * i + 3]) * cap;
            if (capped) odd |= std::uint32_t(t) + cap;
            if (t < look_below[i]) [[unlikely]] break;
            // With the cap out of reach it stays in place and only the count moves.
            if (capped) cap -= t < fit_below[i];
            else fitted += t < fit_below[i];
        }
        if (capped) fitted = height_cap - cap;
        return Run{i, fitted};
    };
    for (;;) {
        if ((n & 0xFFFF) == 0) interrupt_point(std::size_t{1} << 16);
        const bool capped = height_cap > 1 && height_cap <= 0xFFFFFFFFull;
        std::size_t nb = 0;
        std::span<const std::uint32_t> words;
        if (width_cap >= cols + kBatch && (capped || height_cap >= rows + kBatch)) {
            words = rng.peek();
            // Every rectangle of a batch lies before the next interrupt point,
            // and a capped one keeps its cap at 1 or more.
            nb = std::min({words.size() / 4, kBatch, 0x10000 - (n & 0xFFFF)});
            if (capped) nb = std::min<std::size_t>(nb, height_cap - 1);
        }
        Rect r;
        if (nb == 0) {
            if (one(r)) return accept(r);
            continue;
        }
        if (!limits_ready) {
            if (wide) packed_limits(rem, cols, cells, limits);
            else fit_limits(rem, cols, limits);
            limits_ready = true;
        }

        const std::uint32_t* w = words.data();
        std::uint64_t odd = 0;
        std::size_t nb_scalar = nb;
#ifdef POROSA_BLOCK_AVX512
        if (wide) {
            odd = std::uint64_t(batch_limits_avx512(w, nb, rows, cols, limits.data(), cells, fit_below, look_below))
                  << 32;
            nb_scalar = 0;
        }
#endif
        for (std::size_t i = 0; i < nb_scalar; ++i) {
            const std::uint64_t mc0 = std::uint64_t(w[4 * i]) * cols, mr0 = std::uint64_t(w[4 * i + 1]) * rows;
            const std::size_t c0 = mc0 >> 32;
            const std::uint64_t wspan = cols - c0, mw = std::uint64_t(w[4 * i + 2]) * wspan;
            const std::uint64_t hspan = rows - (mr0 >> 32), mh = std::uint64_t(w[4 * i + 3]) * hspan;
            odd |= (std::uint32_t(mc0) + cols) | (std::uint32_t(mr0) + rows) | (std::uint32_t(mw) + wspan) |
                   (std::uint32_t(mh) + hspan);
            const std::size_t width = (mw >> 32) + 1;
            const std::uint64_t fit = limits[width], look = std::uint64_t(cells.height_bound(c0, width)) << 32;
            // Masks rather than selects: the compiler would branch on them,
            // and whether a rectangle fits is a coin toss to a predictor.
            const std::uint64_t fit_limit = fit | (0 - std::uint64_t(mh < fit));
            const std::uint64_t look_limit = look | (0 - std::uint64_t(mh < look));
            fit_below[i] = fit_limit;
            look_below[i] = std::min(fit_limit, look_limit);
        }
        const auto run = capped ? refusals.template operator()<true>(w, nb, odd)
                                : refusals.template operator()<false>(w, nb, odd);
        if (odd >> 32) [[unlikely]] {
            redrawn += nb;
            for (std::size_t i = 0; i < nb; ++i) {
                if (one(r)) return accept(r);
            }
            continue;
        }
        const std::size_t taken = std::min(run.end + 1, nb);
        rng.skip(unsigned(4 * taken));
        n += taken;
        width_cap -= run.fitted;
        height_cap -= run.fitted;
        if (run.end == nb) continue;

        const std::uint32_t* x = w + 4 * run.end;
        r.c0 = (std::uint64_t(x[0]) * cols) >> 32;
        r.r0 = (std::uint64_t(x[1]) * rows) >> 32;
        r.w = ((std::uint64_t(x[2]) * (cols - r.c0)) >> 32) + 1;
        r.h = ((std::uint64_t(x[3]) * std::min(rows - r.r0, height_cap)) >> 32) + 1;
        ++looked_at;
        if (cells.is_free(r.r0, r.c0, r.h, r.w)) return accept(r);
        --width_cap;
        --height_cap;
    }
}

bool wide_batches() noexcept {
#ifdef POROSA_BLOCK_AVX512
    static const bool supported = cpu_has_avx512f();
    return supported;
#else
    return false;
#endif
}

}  // namespace

void drop_blocks_literal(DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng,
                         std::pair<double, double> block_size, std::size_t target) {
    const std::size_t rows = matrix.rows();
    const std::size_t cols = matrix.cols();
    check_protected(protected_cols, rows);
    const bool shared_column = all_rows_protect_one_column(protected_cols, rows);

    // Every rectangle takes only cells counted here, so the count falls by its
    // area; at zero no rectangle can ever be accepted again.
    std::size_t available = count_available(matrix, protected_cols);
    std::vector<Position> positions;
    std::size_t removed = 0;
    while (removed < target) {
        if (available == 0) return;
        const std::size_t rem = target - removed;
        // Caps are unsigned on purpose: lowering a cap of 0 wraps it to "no limit".
        std::size_t width_cap = saturating_count(double(cols) * block_size.first);
        std::size_t height_cap = saturating_count(double(rows) * block_size.second) - 1;
        std::size_t c0, r0, w, h;
        for (;;) {
            interrupt_point();
            c0 = rng.uniform(0, cols - 1);
            r0 = rng.uniform(0, rows - 1);
            w = rng.uniform(1, std::max<std::size_t>(1, std::min(cols - c0, width_cap)));
            h = rng.uniform(1, std::max<std::size_t>(1, std::min(rows - r0, height_cap)));
            if (w * h > rem) continue;
            if (block_is_free(matrix, protected_cols, shared_column, r0, c0, h, w)) break;
            --width_cap;
            --height_cap;
        }
        positions.clear();
        positions.reserve(w * h);
        for (std::size_t r = r0; r < r0 + h; ++r) {
            for (std::size_t c = c0; c < c0 + w; ++c) positions.emplace_back(r, c);
        }
        removed += remove(matrix, positions);
        available -= w * h;
    }
}

// drop_blocks with its knobs, which the tests (tests/cpp/seams.hpp) turn so
// that small inputs take every path large ones do: `literal_checks`,
// rectangles refused on the matrix itself before the free-cell tables are
// built (unset: one per 16 cells; 0: build them before the first draw);
// `full_table_cols`, the widest matrix whose height bounds cover every column
// range (wider ones keep them for ranges of power-of-two widths);
// `scalar_batches`, batches worked out one rectangle at a time even where the
// processor has wider registers. `counts`, when given, gains the rectangles
// drawn, looked up in the tables and drawn again one at a time (as one draw of
// their batch may have taken a second word), and 1 once the tables are built.
void drop_blocks_tuned(DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng,
                       std::pair<double, double> block_size, std::size_t target,
                       std::optional<std::size_t> literal_checks, std::size_t full_table_cols, bool scalar_batches,
                       std::size_t* counts) {
    const std::size_t rows = matrix.rows();
    const std::size_t cols = matrix.cols();
    check_protected(protected_cols, rows);
    // Bounds are 32-bit row counts. On short matrices a check reads a handful
    // of rows, and the tables would cost more memory per cell than they save.
    if (rows > std::numeric_limits<std::uint32_t>::max() || rows < kMinTableRows) {
        drop_blocks_literal(matrix, protected_cols, rng, block_size, target);
        return;
    }
    const bool shared_column = all_rows_protect_one_column(protected_cols, rows);

    // Without NaN few rectangles are refused and the call ends long before the
    // tables would pay for themselves, so rectangles are first checked on the
    // matrix itself; only a call that keeps refusing builds the tables, once it
    // has spent on refusals about what they cost to build.
    std::size_t budget = literal_checks.value_or(rows * cols / 16);
    std::size_t available = count_available(matrix, protected_cols);
    std::optional<FreeCells> cells;
    const auto build = [&] {
        cells.emplace(matrix, protected_cols, cols <= full_table_cols);
        if (counts) counts[3] = 1;
    };
    if (budget == 0) build();
    std::size_t removed = 0, drawn = 0, looked_at = 0, redrawn = 0;
    std::vector<std::uint64_t> limits;
    const bool wide = !scalar_batches && wide_batches();
    const auto on_matrix = [&](const Rect& r, bool fits) {
        if (!fits) return Verdict::refuse;
        if (block_is_free(matrix, protected_cols, shared_column, r.r0, r.c0, r.h, r.w)) return Verdict::accept;
        return --budget == 0 ? Verdict::refuse_and_stop : Verdict::refuse;
    };
    const auto on_tables = [&](const Rect& r, bool fits) {
        // Both tests at once: a third of the rectangles are too large and most
        // others too tall, in no order a branch predictor could learn.
        if (fits & cells->may_fit(r.c0, r.w, r.h)) [[unlikely]] {
            ++looked_at;
            if (cells->is_free(r.r0, r.c0, r.h, r.w)) return Verdict::accept;
        }
        return Verdict::refuse;
    };
    while (removed < target) {
        if (available == 0) break;
        const std::size_t rem = target - removed;
        Caps caps = caps_of(rows, cols, block_size);
        Rect r;
        Verdict verdict = Verdict::refuse;
        if (!cells) {
            verdict = draw_rectangle(rng, rows, cols, rem, caps, r, drawn, on_matrix);
            if (verdict != Verdict::accept) build();
        }
        if (verdict != Verdict::accept) {
            if (cols <= kMaxBatchCols) {
                draw_rectangle_batched(rng, rows, cols, rem, caps, r, drawn, *cells, looked_at, limits, redrawn,
                                       wide);
            } else {
                draw_rectangle(rng, rows, cols, rem, caps, r, drawn, on_tables);
            }
        }
        if (cells) cells->take(r.r0, r.c0, r.h, r.w);
        erase_block(matrix, r.r0, r.c0, r.h, r.w);
        removed += r.w * r.h;
        available -= r.w * r.h;
    }
    if (counts) counts[0] += drawn, counts[1] += looked_at, counts[2] += redrawn;
}

void drop_blocks(DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng,
                 std::pair<double, double> block_size, std::size_t target) {
    drop_blocks_tuned(matrix, protected_cols, rng, block_size, target, std::nullopt, 64, false, nullptr);
}

}  // namespace porosa::mnar
