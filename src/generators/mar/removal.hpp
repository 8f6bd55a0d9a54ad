// The steps of a MAR removal: column shuffle, predictor choice, and the passes
// that take one cell per missing column.
#pragma once
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/pool.hpp"
#include "generators/common/generator.hpp"
#include "generators/common/mask.hpp"
#include "generators/common/mode.hpp"
#include "generators/common/rng.hpp"
#include "generators/mar/correlation.hpp"
#include "generators/common/gauss.hpp"

namespace porosa::mar {

// A missing column and the column whose values decide which of its cells goes.
struct Pair {
    std::size_t missing;
    std::size_t predictor;
    bool operator==(const Pair&) const = default;
};

// ceil(cols * rate / max_missing_per_column), multiplied before dividing, as a
// saturating count.
std::size_t missing_column_count(std::size_t cols, double rate, double max_missing_per_column) noexcept;

// 0 .. cols-1 permuted by a forward Fisher-Yates pass whose draws are batched:
// one index below a product of consecutive bounds serves several positions.
std::vector<std::size_t> shuffle_columns(std::size_t cols, Rng& rng);

std::vector<Pair> pairs(std::span<const std::size_t> missing, std::span<const Predictor> records);

// The reference chooser: scans every row in order. Candidates are the rows whose
// cell in the missing column is not NaN, keyed by the predictor's cell, and the
// first-minimum rule picks among them.
std::optional<std::size_t> choose_row_literal(const DataMatrix& matrix, Pair pair, double reference, CmpFn cmp);

// The positions of one pass, in pair order, one choose_row_literal per pair on
// the pool. `references` holds one value per pair; a NaN one for a pair whose
// missing column still holds a value is the failure "Sample is nan", found
// before any pair is scanned.
Outcome<std::vector<Position>> drop_cols(const DataMatrix& matrix, std::span<const Pair> pairs,
                                         std::span<const double> references, CmpFn cmp, Pool& pool);

// The failures of the caller's data that a removal of `n` missing columns
// meets once its columns are shuffled: more missing columns than columns (a
// negative cap), and data without rows or columns to correlate.
Outcome<void> check_input(std::size_t n, const DataMatrix& matrix);

// What a removal settles before its first pass, computed in this order: the
// missing-column count, the column shuffle, check_input, the correlation, the
// predictors, the ordering and, for GM, the distribution list (from the matrix
// before any cell goes).
struct Setup {
    std::vector<std::size_t> missing;
    std::vector<Pair> pairs;
    Order order = Order::nearest;
    std::vector<Gauss> dists;  // GM only: one per matrix column
};
Outcome<Setup> prepare_removal(const Mode& mode, double max_missing_per_column, Rng& rng, const DataMatrix& matrix,
                      double rate, Pool& pool);

// The passes, one scan per pair and pass, until `target` cells are gone
// or a pass yields nothing.
Outcome<void> run_passes(DataMatrix& matrix, const Setup& setup, std::size_t target, Rng& rng, Pool& pool);

// The same passes with the same draws and the same cells, with each pair's
// choices taken from its candidates kept in order rather than by scanning the
// column. A pass's draws do not depend on the rows it picks, and a pair takes a
// cell in every pass it is part of until its candidates run out, so the whole
// schedule is drawn first and each pair then replays its own passes.
Outcome<void> run_passes_fast(DataMatrix& matrix, const Setup& setup, std::size_t target, Rng& rng, Pool& pool);

// The whole removal of a MAR call with the scanning passes.
Outcome<void> run_removal(const Mode& mode, double max_missing_per_column, Rng& rng, DataMatrix& matrix, double rate,
                          std::size_t target, Pool& pool);

// The whole removal of a MAR call with run_passes_fast.
Outcome<void> run_removal_fast(const Mode& mode, double max_missing_per_column, Rng& rng, DataMatrix& matrix, double rate,
                      std::size_t target, Pool& pool);

}  // namespace porosa::mar
