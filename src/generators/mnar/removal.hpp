// The pieces of MNAR's removal, exposed so tests can drive each one with a pool
// of their choosing and check it against a hand-computed answer.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/pool.hpp"
#include "generators/common/generator.hpp"
#include "generators/common/mask.hpp"
#include "generators/common/mode.hpp"
#include "generators/common/rng.hpp"
#include "generators/common/gauss.hpp"

namespace porosa::mnar {

// A cell the value passes may take: it holds a value and its row does not
// protect its column.
inline bool is_candidate(double x, std::size_t protected_col, std::size_t col) noexcept {
    return !std::isnan(x) && protected_col != col;
}

// The cell of column `col` that goes next: the first minimum, in ascending row
// order, of the column's values that are neither NaN nor protected. A plain
// scan, kept as the reference any faster version must agree with.
std::optional<std::size_t> drop_cols_literal(const DataMatrix& matrix, std::span<const std::size_t> protected_cols,
                                             std::size_t col, CmpFn cmp, double reference);

// The failures of the caller's data an MNAR call meets before its first draw
// (in the order they would come: a GM centre of a column without rows, a
// protection draw without columns), and a blob count whose lists cannot
// exist, which stops a BLOB call before it draws too.
Outcome<void> check_input(const Mode& mode, const DataMatrix& matrix, std::size_t target);

// "n_blobs too large: ..." for a BLOB pass whose lists cannot be had: beyond
// what a vector holds, or over half the machine's memory (an allocation
// granted on credit would end in the process being killed, not in bad_alloc).
std::string too_many_blobs(std::size_t n_blobs);
Outcome<void> check_blob_count(std::size_t n_blobs);

// The passes as written: each pass draws, then scans every picked column with
// drop_cols_literal. Quadratic; kept as the reference for the fast passes.
Outcome<void> drop_values_literal(Pool& pool, DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng,
                         CmpFn cmp, const std::vector<Gauss>* dists, std::size_t target);

// Knobs of the fast passes. The defaults suit large matrices; tests shrink them
// so that small inputs go through every step large ones take.
struct ValuePassTuning {
    // A column's search gathers its remaining candidates once no more than this
    // many share the key prefix found so far.
    std::size_t collect_limit = 4096;
    // Bits of the key one histogram sweep settles (1 to 16).
    unsigned digit_bits = 12;
    // A sweep over the rows is split into pieces of at least this many rows.
    std::size_t chunk_rows = std::size_t{1} << 15;
    // Columns searched by one sweep, so that its histograms stay in cache.
    std::size_t group_cols = 64;
    // Rows sampled to bracket each column's last cell before any histogram
    // sweep (0: no bracketing), and the bracket's half-width in standard
    // deviations of the sample rank.
    std::size_t bracket_rows = 8192;
    double bracket_sigmas = 4.0;
};

// The value-mode passes: the same cells, draws and failures as
// drop_values_literal with cmp_of(order), without a scan per pass: all draws
// first, on the calling thread, from per-column candidate counts; then each
// column's cells chosen at once. `dists` is the GM distribution list, or null
// for MAX and MIN (whose reference is 0). Inputs it does not cover (a short
// distribution or protection list, GM references that vary over 2^32 - 1 rows
// or more) go to drop_values_literal.
Outcome<void> drop_values_fast(Pool& pool, DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng,
                      Order order, const std::vector<Gauss>* dists, std::size_t target,
                      const ValuePassTuning& tuning = {});

// The internal failure for a protection list shorter than the rows.
void check_protected(std::span<const std::size_t> protected_cols, std::size_t rows);

// Cells that are neither protected nor NaN: what is still there to take.
std::size_t count_available(const DataMatrix& matrix, std::span<const std::size_t> protected_cols);

// drop_pattern on an explicit pool.
Outcome<void> drop_pattern_on(Pool& pool, DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng,
                     const Mode& mode, std::size_t target);

// The BLOCK passes: one rectangle per pass, redrawn until it fits what remains
// and holds neither a protected nor a NaN cell.
void drop_blocks(DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng,
                 std::pair<double, double> block_size, std::size_t target);

// The same passes checking every rectangle on the matrix, cell by cell: the
// reference for drop_blocks.
void drop_blocks_literal(DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng,
                         std::pair<double, double> block_size, std::size_t target);

// One blob of a BLOB pass, as drawn from the instance generator.
struct BlobPlan {
    std::size_t cx;
    std::size_t cy;
    std::size_t size;
    std::uint64_t seed;
};

// The blobs of one pass, drawn in order from the instance generator: centre
// column, centre row, size (at most what remains of rem; the last blob takes
// what remains, without a draw), seed.
void draw_blob_plans(Rng& rng, std::size_t rows, std::size_t cols, std::size_t rem, std::span<BlobPlan> plans);

// A blob that has gone this many attempts in a row without adding a cell is
// given up. The cheap test (the set holds every unprotected cell) and the
// occasional reachability test end stuck blobs long before this; the bound only
// catches a blob whose one way to grow lies deep in the tail of its Gaussian
// (5 to 6 deviations out), where progress takes millions of attempts.
inline constexpr std::size_t kMaxFruitlessAttempts = 10'000'000;

// The positions of one blob: up to plan.size distinct unprotected cells around
// its centre; fewer only when the blob cannot grow any further (or hits the
// bound above). `unprotected` is the number of unprotected cells of the matrix.
std::vector<Position> collect_blob(const DataMatrix& matrix, std::span<const std::size_t> protected_cols,
                                   std::size_t unprotected, const BlobPlan& plan);

}  // namespace porosa::mnar
