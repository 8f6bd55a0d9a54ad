// Sweeps over the rows of a row-major matrix: consecutive row ranges run in
// parallel, and every 1024 rows count toward the interrupt check, so that a
// sweep over a tall matrix can be stopped without a check per cell.
#pragma once
#include <algorithm>
#include <cstddef>
#include <type_traits>

#include "core/interrupt.hpp"
#include "core/pool.hpp"

namespace porosa {

// Consecutive row ranges, one parallel piece each.
struct RowChunks {
    std::size_t rows, count;
    // Up to two pieces per thread, of at least `min_rows` rows each.
    RowChunks(std::size_t rows_, std::size_t threads, std::size_t min_rows) : rows(rows_) {
        count = std::min(threads * 2, std::max<std::size_t>(1, rows / std::max<std::size_t>(1, min_rows)));
        // Histogram counts are 32-bit.
        count = std::max(count, (rows >> 31) + 1);
    }
    // Exactly `count` pieces (at least one).
    static RowChunks exactly(std::size_t rows, std::size_t count) noexcept { return RowChunks(rows, count); }

    std::size_t begin(std::size_t i) const noexcept { return rows / count * i + std::min(i, rows % count); }
    std::size_t end(std::size_t i) const noexcept { return begin(i + 1); }

private:
    RowChunks(std::size_t rows_, std::size_t count_) noexcept : rows(rows_), count(count_) {}
};

// The callables below are taken by value, as closures of references: a copy
// in the sweep's own frame keeps the references in registers, where through a
// chain of references every store to the data could force them to be reloaded.

// Runs f(r0, r1) over [begin, end) in blocks that end at multiples of 1024
// rows; a block that starts at one first counts 1024 rows of `width` units
// of work (about a cell each) toward the interrupt check. The rows of a block
// are the caller's own loop, so the check costs nothing per row. An f that
// returns bool ends the sweep by returning false.
template <class F>
inline void for_row_blocks(std::size_t begin, std::size_t end, std::size_t width, F f) {
    for (std::size_t r0 = begin; r0 < end;) {
        if ((r0 & 1023) == 0) interrupt_point(1024 * width);
        const std::size_t r1 = std::min(end, (r0 | 1023) + 1);
        if constexpr (std::is_void_v<std::invoke_result_t<F&, std::size_t, std::size_t>>) f(r0, r1);
        else if (!f(r0, r1)) return;
        r0 = r1;
    }
}

// Runs chunk(ch, begin, end) for every piece on the pool: for sweeps that keep
// something of their own per piece.
template <class F>
void for_chunks(Pool& pool, RowChunks chunks, F chunk) {
    pool.run_chunks(chunks.count, 1, [chunks, chunk](std::size_t b, std::size_t e) {
        for (std::size_t ch = b; ch < e; ++ch) chunk(ch, chunks.begin(ch), chunks.end(ch));
    });
}

// Runs f(ch, r0, r1) over the row blocks of every piece ch, the pieces in
// parallel.
template <class F>
void sweep_rows(Pool& pool, RowChunks chunks, std::size_t width, F f) {
    for_chunks(pool, chunks, [f, width](std::size_t ch, std::size_t begin, std::size_t end) {
        for_row_blocks(begin, end, width, [f, ch](std::size_t r0, std::size_t r1) { f(ch, r0, r1); });
    });
}

}  // namespace porosa
