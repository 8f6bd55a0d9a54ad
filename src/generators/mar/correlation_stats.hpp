// What the units that compute correlations share: per-column figures, the
// split of a predictor search into tasks, and the search over pairs with gaps.
#pragma once
#include <cstddef>
#include <span>
#include <vector>

#include "core/data_matrix.hpp"
#include "core/pool.hpp"
#include "generators/mar/correlation.hpp"

namespace porosa::mar {

struct ColumnStats {
    std::vector<double> shift;   // the column's first value
    std::vector<double> mean;    // mean of the shifted values
    std::vector<double> spread;  // sqrt of the centred sum of squares
    std::vector<char> bad;       // holds a NaN or an infinity
    std::vector<char> flat;      // every value equals the first
    std::vector<char> gaps;      // holds a NaN
    std::vector<char> lone;      // holds fewer than two values (cells that are not NaN)

    // The value whose products with another column's are summed: the cell minus
    // the shift, minus the mean.
    double centred(double x, std::size_t c) const noexcept { return (x - shift[c]) - mean[c]; }

    // Over all the rows, a bad column has NaN correlations by definition. A flat
    // finite one centres to exact zeros, so its sums of products are zeros and
    // its spread is zero: 0 / 0 again. Paired with a column without gaps,
    // neither can ever be a predictor or have one.
    bool never_correlates(std::size_t c) const noexcept { return bad[c] || flat[c]; }

    // Its pairs are taken over the rows where both columns hold a value.
    bool has_gaps(std::size_t c) const noexcept { return gaps[c]; }
};

// Each sum is taken sequentially over the rows, so that the rounding is the same
// for any number of workers.
ColumnStats column_stats(const DataMatrix& data, Pool& pool);

// The best observed column of each of `missing` columns in a part of
// `observed`, visited in order, written to out[0 .. m1 - m0): (0, 0) when
// nothing is positive.
using PartSearch = FunctionRef<void(std::size_t m0, std::size_t m1, std::size_t o0, std::size_t o1, Predictor* out)>;

// Runs `search` on the pool over tiles of `tile` missing columns against parts
// of the observed ones cut at multiples of `step`, with enough parts to give
// every worker something to do, and merges each missing column's part bests in
// part order with the same strict comparison as one scan: the result does not
// depend on the split or on the number of workers.
std::vector<Predictor> search_by_parts(std::size_t missing, std::size_t observed, std::size_t tile,
                                       std::size_t step, Pool& pool, PartSearch search);

// Folds into `records` the best of the pairs in which at least one column
// holds a NaN, each correlated over the rows where both hold a value. A tie
// goes to the column earlier in `observed`, as in one scan of it.
void merge_gap_predictors(const DataMatrix& data, const ColumnStats& s, std::span<const std::size_t> missing,
                          std::span<const std::size_t> observed, Pool& pool, std::size_t lanes,
                          std::vector<Predictor>& records);

}  // namespace porosa::mar
