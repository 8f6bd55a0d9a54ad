// The pieces of MNAR's removal, exposed so tests can drive each one with a pool
// of their choosing and check it against a hand-computed answer.
#pragma once
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
#include "generators/utils/gauss.hpp"

namespace porosa::mnar_detail {

// Algorithm R: k distinct indices of [0, n), k < n, in reservoir slot order.
std::vector<std::size_t> reservoir_sample(Rng& rng, std::size_t n, std::size_t k);

// The cell of column `col` that goes next: the first minimum, in ascending row
// order, of the column's values that are neither NaN nor protected. A plain
// scan, kept as the reference any faster version must agree with.
std::optional<std::size_t> drop_cols_literal(const DataMatrix& matrix, std::span<const std::size_t> protected_cols,
                                             std::size_t col, CmpFn cmp, double reference);

// The value-mode passes. `dists` is the GM distribution list, or null for MAX
// and MIN (whose reference is 0).
void drop_values(Pool& pool, DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng, CmpFn cmp,
                 const std::vector<Gauss>* dists, std::size_t target);

// drop_pattern on an explicit pool.
void drop_pattern_on(Pool& pool, DataMatrix& matrix, std::span<const std::size_t> protected_cols, Rng& rng,
                     const Mode& mode, std::size_t target);

// One blob of a BLOB pass, as drawn from the instance generator.
struct BlobPlan {
    std::size_t cx;
    std::size_t cy;
    std::size_t size;
    std::uint64_t seed;
};

// The blobs of one pass, drawn in order from the instance generator: centre
// column, centre row, size (the last blob takes what remains of rem, without a
// draw), seed.
void draw_blob_plans(Rng& rng, std::size_t rows, std::size_t cols, std::size_t rem, std::span<BlobPlan> plans);

// A blob that has gone this many attempts in a row without adding a cell is
// given up. The cheap test (the set holds every unprotected cell) and the
// occasional reachability test end stuck blobs long before this; the bound only
// catches a blob whose one way to grow lies deep in the tail of its Gaussian
// (5 to 6 deviations out), where progress takes millions of attempts.
inline constexpr std::size_t kMaxFruitlessAttempts = 10'000'000;

// Where a blob keeps its cells: a hash set searched cell by cell, or bitmaps
// searched a word at a time. Both give the same cells; `automatic` picks by
// blob and matrix size.
enum class BlobStore { automatic, hash, grid };

// The positions of one blob: up to plan.size distinct unprotected cells around
// its centre; fewer only when the blob cannot grow any further (or hits the
// bound above). `unprotected` is the number of unprotected cells of the matrix.
std::vector<Position> collect_blob(const DataMatrix& matrix, std::span<const std::size_t> protected_cols,
                                   std::size_t unprotected, const BlobPlan& plan,
                                   BlobStore store = BlobStore::automatic);

}  // namespace porosa::mnar_detail
